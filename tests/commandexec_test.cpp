#include "agent/commandexec.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/testutils.h"

using tavo::test::FileExists;
using tavo::test::FindLogLine;
using tavo::test::LogTail;
using tavo::test::ProgramDir;
using tavo::test::TempDir;

namespace {

std::wstring child(const std::string& arguments) {
    return tavo::StringToWString("\"" + ProgramDir() + "commandexecchild.exe\" " + arguments);
}

std::string expectedLines(int count) {
    std::string text;
    char line[32];
    for (int i = 0; i < count; ++i) {
        snprintf(line, sizeof(line), "line %04d\r\n", i);
        text += line;
    }
    return text;
}

TEST(ExecuteCmd, CollectsOutputOfSeveralChunksWholeAndInOrder) {
    const std::wstring command = child("lines 300");
    LogTail log;
    std::string output = "kept:";
    ASSERT_EQ(ExecuteCmd(command, output), TAVO_OK);
    const std::string expected = "kept:" + expectedLines(300) + "to stderr\n";
    ASSERT_GT(expected.size(), 3u * 1023);
    EXPECT_EQ(output, expected);

    EXPECT_GE(FindLogLine(log.lines(), "S: debug :: Executing Command Line= " + tavo::WStringToString(command)), 0);
    // The message begins with a line break of its own.
    EXPECT_NE(log.text().find("S: debug :: \r\n Execute Response = kept:line 0000"), std::string::npos);
}

TEST(ExecuteCmd, KeepsZeroBytes) {
    std::string output;
    ASSERT_EQ(ExecuteCmd(child("zeros"), output), TAVO_OK);
    EXPECT_EQ(output, std::string("a\0b\r\nc", 6));
}

TEST(ExecuteCmd, ChildReadingStandardInputSeesItsEndAtOnce) {
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ExecuteCmd(child("stdin"), output), TAVO_OK);
    EXPECT_EQ(output, "read 0 bytes\n");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 5000);
}

// A command line that does not fit is refused, not cut to a shorter and different command.
TEST(ExecuteCmd, RunsCommandLinesUpTo1023CharactersAndRefusesLongerOnes) {
    for (size_t length : {size_t(1023), size_t(1024), size_t(1500)}) {
        TempDir dir;
        const std::string marker = dir.file("ran");
        std::wstring command = child("touch " + marker + " ");
        ASSERT_LT(command.size(), 1000u);
        command.append(length - command.size(), L'x');
        std::string output = "before";
        LogTail log;
        if (length <= 1023) {
            EXPECT_EQ(ExecuteCmd(command, output), TAVO_OK) << length;
            EXPECT_EQ(output, "beforetouched\n") << length;
            EXPECT_TRUE(FileExists(marker)) << length;
        } else {
            EXPECT_EQ(ExecuteCmd(command, output), TAVO_INVALID_ARGUMENT) << length;
            EXPECT_EQ(output, "before") << length;
            EXPECT_FALSE(FileExists(marker)) << length;
            EXPECT_EQ(log.count("ExecuteCmd S: error :: Command line of " + std::to_string(length) +
                                " characters is longer than 1023"),
                      1u)
                << log.text();
        }
    }
}

TEST(ExecuteCmd, MissingProgramFailsToStart) {
    LogTail log;
    std::string output = "before";
    EXPECT_EQ(ExecuteCmd(L"vrn_tavo_no_such_program.exe --flag", output), TAVO_ERROR);
    EXPECT_EQ(output, "before");
    std::list<std::string> lines = {"old"};
    EXPECT_EQ(RunCommand(L"vrn_tavo_no_such_program.exe", lines), TAVO_ERROR);
    EXPECT_EQ(lines, std::list<std::string>{"old"});

    const std::vector<std::string> logLines = log.lines();
    const int first = FindLogLine(logLines, "S: error :: CreateProcess failed ");
    ASSERT_GE(first, 0) << log.text();
    EXPECT_GE(FindLogLine(logLines, "S: error :: CreateProcess failed ", first + 1), 0) << log.text();
}

TEST(ExecuteCmd, EmptyCommandLineIsRefusedWithoutALogLine) {
    LogTail log;
    std::string output = "before";
    EXPECT_EQ(ExecuteCmd(L"", output), TAVO_INVALID_ARGUMENT);
    EXPECT_EQ(output, "before");
    std::list<std::string> lines;
    EXPECT_EQ(RunCommand(L"", lines), TAVO_INVALID_ARGUMENT);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(log.text(), "");
}

TEST(RunCommand, SplitsTheChildsOutputIntoLines) {
    std::list<std::string> lines = {"old"};
    ASSERT_EQ(RunCommand(child("lines 150"), lines), TAVO_OK);
    ASSERT_EQ(lines.size(), 152u);
    EXPECT_EQ(lines.front(), "old");
    EXPECT_EQ(*std::next(lines.begin()), "line 0000");
    EXPECT_EQ(*std::prev(lines.end(), 2), "line 0149");
    EXPECT_EQ(lines.back(), "to stderr");
}

TEST(SplitLines, CutsAtLineFeedsAndCarriageReturns) {
    const struct {
        std::string text;
        std::list<std::string> lines;
    } cases[] = {
        {"one\r\ntwo\r\n", {"one", "two"}},
        {"one\ntwo", {"one"}},
        {"no line feed", {}},
        {"", {}},
        {"\n\r\n\n", {"", "", ""}},
        {"a\rb\rc\nd\n", {"a", "d"}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto& c : cases) {
        std::list<std::string> lines = {"first"};
        SplitLines(c.text, lines);
        std::list<std::string> expected = c.lines;
        expected.push_front("first");
        EXPECT_EQ(lines, expected) << c.text;
    }
}

}  // namespace
