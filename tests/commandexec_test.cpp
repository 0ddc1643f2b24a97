#include "agent/commandexec.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/testutils.h"

using tavo::test::FileExists;
using tavo::test::ProgramDir;
using tavo::test::ReadFileBytes;
using tavo::test::TempDir;

namespace {

std::wstring child(const std::string& arguments) {
    return tavo::StringToWString("\"" + ProgramDir() + "commandexecchild.exe\" " + arguments);
}

// What the process's log gains from the moment the owner is made.
class LogTail {
public:
    LogTail() : m_path(logPath()), m_start(ReadFileBytes(m_path).size()) {}
    std::string text() const { return ReadFileBytes(m_path).substr(m_start); }

private:
    static std::string logPath() {
        char tempDir[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, tempDir);
        char exePath[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, exePath, MAX_PATH);
        return std::string(tempDir) + (strrchr(exePath, '\\') + 1) + ".log";
    }
    std::string m_path;
    size_t m_start;
};

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

    const std::string lines = log.text();
    EXPECT_NE(lines.find("S: debug :: Executing Command Line= " + tavo::WStringToString(command)), std::string::npos);
    EXPECT_NE(lines.find("\r\n Execute Response = kept:line 0000"), std::string::npos);
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
            EXPECT_NE(log.text().find("S: error :: Command line of " + std::to_string(length) +
                                      " characters is longer than 1023"),
                      std::string::npos)
                << length;
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

    const std::string text = log.text();
    const size_t at = text.find("S: error :: CreateProcess failed ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(text.find("S: error :: CreateProcess failed ", at + 1), std::string::npos);
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
