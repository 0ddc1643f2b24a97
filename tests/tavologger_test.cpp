#include "logging/tavologger.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include "common/tavostatus.h"
#include "logging/tavolog.h"
#include "tests/support/testutils.h"

using tavo::test::FileExists;
using tavo::test::ReadFileBytes;
using tavo::test::StderrCapture;
using tavo::test::TempDir;
using tavo::test::WriteFileBytes;

namespace {

constexpr size_t kLimit = 5000000;

#define LOG_TO(logger, level, withLastError, ...) \
    (logger).log((level), (withLastError), __FILE_NAME__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

std::vector<std::string> SplitCrLfLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(bytes.substr(start, end - start));
    }
    EXPECT_EQ(start, bytes.size()) << "text after the last line end";
    return lines;
}

TEST(Logger, WritesTheLineFormatWithCrLf) {
    TempDir dir;
    const std::string path = dir.file("vrn_tavo.exe.log");
    {
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "value %d and %s and %ls", 42, "narrow", L"wide");
    }
    const std::string bytes = ReadFileBytes(path);
    char expectedIds[64];
    snprintf(expectedIds, sizeof(expectedIds), "\\[%lu\\] T: %lX", GetCurrentProcessId(), GetCurrentThreadId());
    const std::regex line(std::string("\\[\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ") + expectedIds +
                          " F: tavologger_test\\.cpp L: \\d+ "
                          "f: `anonymous-namespace'::Logger_WritesTheLineFormatWithCrLf_Test::TestBody "
                          "S: error :: value 42 and narrow and wide \r\n");
    EXPECT_TRUE(std::regex_match(bytes, line)) << bytes;
}

TEST(Logger, FiltersByThresholdAndNamesUnknownLevels) {
    TempDir dir;
    const std::string path = dir.file("log");
    CTAVOLogger logger(path);
    LOG_TO(logger, eLogVerbose, false, "hidden");
    LOG_TO(logger, eLogDebug, false, "debug line");
    LOG_TO(logger, 0, false, "level zero");
    LOG_TO(logger, -7, false, "negative level");
    logger.SetLogLevel(eLogVerbose);
    LOG_TO(logger, eLogVerbose, false, "verbose line");
    LOG_TO(logger, 5, false, "too detailed");
    logger.SetLogLevel(5);
    LOG_TO(logger, 5, false, "level five");
    LOG_TO(logger, eLogWarning, false, "warning line");

    const std::vector<std::string> lines = SplitCrLfLines(ReadFileBytes(path));
    const std::vector<std::string> expected = {
        "S: debug :: debug line ",   "S: unknown :: level zero ",  "S: unknown :: negative level ",
        "S: verbose :: verbose line ", "S: unknown :: level five ", "S: warning :: warning line ",
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
    }
}

std::string SystemText(DWORD code) {
    char text[2048] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x409, text,
                        sizeof(text), nullptr)) {
        return std::string();
    }
    return text;
}

TEST(Logger, AppendsTheSystemErrorTextUnexpanded) {
    // An error text holding a '%' (an insert that was not filled in) must come out as it is.
    DWORD withPercent = 0;
    for (DWORD code = 1; code < 16000 && withPercent == 0; ++code) {
        const std::string text = SystemText(code);
        if (text.find('%') != std::string::npos && text.size() > 2 && text.substr(text.size() - 2) == "\r\n") {
            withPercent = code;
        }
    }
    TempDir dir;
    const std::string path = dir.file("log");
    CTAVOLogger logger(path);
    SetLastError(ERROR_FILE_NOT_FOUND);
    LOG_TO(logger, eLogError, true, "open failed");
    if (withPercent != 0) {
        SetLastError(withPercent);
        LOG_TO(logger, eLogError, true, "with percent");
    }
    SetLastError(0x2AAAAAAA);
    LOG_TO(logger, eLogError, true, "no text");

    const std::vector<std::string> lines = SplitCrLfLines(ReadFileBytes(path));
    ASSERT_EQ(lines.size(), withPercent != 0 ? 3u : 2u);
    std::string notFound = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(notFound.size(), 2u);
    notFound.replace(notFound.size() - 2, 2, "  ");
    EXPECT_NE(lines[0].find(":: open failed " + notFound), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 2), "  ");
    if (withPercent != 0) {
        std::string text = SystemText(withPercent);
        text.replace(text.size() - 2, 2, "  ");
        EXPECT_NE(lines[1].find(":: with percent " + text), std::string::npos) << lines[1];
    }
    const std::regex fallback(".* :: no text Retrieving error string of 715827882 failed with error = \\d+");
    EXPECT_TRUE(std::regex_match(lines.back(), fallback)) << lines.back();
}

TEST(Logger, WritesPercentSignsOutsideTheFormatUnchanged) {
    TempDir dir;
    const std::string path = dir.file("log");
    CTAVOLogger logger(path);
    logger.log(eLogError, false, "100%d.cpp", "int tavo::Value::operator%(int)", 7, "rate %d%%", 50);
    const std::vector<std::string> lines = SplitCrLfLines(ReadFileBytes(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("F: 100%d.cpp L: 7 f: tavo::Value::operator% S: error :: rate 50% "), std::string::npos)
        << lines[0];
}

TEST(Logger, CutsALongLineAtItsLimitAndStillEndsIt) {
    TempDir dir;
    const std::string path = dir.file("log");
    CTAVOLogger logger(path);
    const std::string longText(6000, 'x');
    LOG_TO(logger, eLogError, false, "%s", longText.c_str());
    LOG_TO(logger, eLogError, false, "next");
    const std::vector<std::string> lines = SplitCrLfLines(ReadFileBytes(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 4094u);  // 4095 characters with the line end
    EXPECT_EQ(lines[0].back(), 'x');
    EXPECT_NE(lines[1].find(":: next "), std::string::npos);
}

TEST(Logger, ConstructorErrors) {
    try {
        CTAVOLogger logger("");
        FAIL() << "no exception";
    } catch (const CTAVOLogger::logger_exception& e) {
        EXPECT_STREQ(e.what(), "Empty filename");
    }
    TempDir dir;
    const std::string path = dir.file("missing\\vrn_tavo.exe.log");
    try {
        CTAVOLogger logger(path);
        FAIL() << "no exception";
    } catch (const CTAVOLogger::logger_exception& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to create/open file : " + path);
    }
}

TEST(Logger, OtherProcessesMayReadAndWriteTheOpenFile) {
    TempDir dir;
    const std::string path = dir.file("log");
    CTAVOLogger logger(path);
    LOG_TO(logger, eLogError, false, "first");
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(other);
}

// A log file of `size` bytes with old files for the listed suffixes, each holding its own name.
void MakeLogFiles(const std::string& path, size_t size, const std::vector<int>& suffixes) {
    WriteFileBytes(path, std::string(size, 'a'));
    for (int n : suffixes) {
        WriteFileBytes(path + "." + std::to_string(n), "old " + std::to_string(n));
    }
}

TEST(Logger, RotatesOnlyPastTheLimit) {
    for (size_t size : {kLimit, kLimit + 1}) {
        TempDir dir;
        const std::string path = dir.file("log");
        MakeLogFiles(path, size, {});
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "after");
        const bool rotated = size > kLimit;
        EXPECT_EQ(FileExists(path + ".1"), rotated) << size;
        const std::string current = ReadFileBytes(path);
        if (rotated) {
            EXPECT_EQ(ReadFileBytes(path + ".1").size(), size);
            EXPECT_EQ(SplitCrLfLines(current).size(), 1u);
        } else {
            EXPECT_GT(current.size(), size);
        }
    }
}

TEST(Logger, RotationShiftsTheChainAndKeepsGaps) {
    {
        TempDir dir;
        const std::string path = dir.file("log");
        MakeLogFiles(path, kLimit + 1, {1, 2, 3, 4, 5});
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "after");
        EXPECT_EQ(ReadFileBytes(path + ".1").size(), kLimit + 1);
        for (int n = 2; n <= 5; ++n) {
            EXPECT_EQ(ReadFileBytes(path + "." + std::to_string(n)), "old " + std::to_string(n - 1));
        }
        EXPECT_FALSE(FileExists(path + ".6"));
    }
    {
        TempDir dir;
        const std::string path = dir.file("log");
        MakeLogFiles(path, kLimit + 1, {2});
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "after");
        EXPECT_EQ(ReadFileBytes(path + ".1").size(), kLimit + 1);
        EXPECT_FALSE(FileExists(path + ".2"));
        EXPECT_EQ(ReadFileBytes(path + ".3"), "old 2");
    }
    {
        // Without a current file the old ones still shift.
        TempDir dir;
        const std::string path = dir.file("log");
        WriteFileBytes(path + ".1", "old 1");
        EXPECT_EQ(CTAVOLogger::rotate(path.c_str()), TAVO_OK);
        EXPECT_FALSE(FileExists(path + ".1"));
        EXPECT_EQ(ReadFileBytes(path + ".2"), "old 1");
    }
}

HANDLE HoldWithoutDeleteSharing(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

TEST(Logger, UndeletableOldestFileStopsTheRotationBeforeAnythingMoves) {
    TempDir dir;
    const std::string path = dir.file("log");
    MakeLogFiles(path, kLimit + 1, {1, 2, 3, 4, 5});
    HANDLE held = HoldWithoutDeleteSharing(path + ".5");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string errors;
    {
        CTAVOLogger logger(path);
        StderrCapture capture;
        LOG_TO(logger, eLogError, false, "after");
        errors = capture.text();
    }
    CloseHandle(held);
    EXPECT_EQ(errors, "Remove  failed for " + path + ".5\nFile rotation failed\n");
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(ReadFileBytes(path + "." + std::to_string(n)), "old " + std::to_string(n));
    }
    const std::string current = ReadFileBytes(path);
    ASSERT_GT(current.size(), kLimit + 1);
    EXPECT_EQ(current.substr(0, kLimit + 1), std::string(kLimit + 1, 'a'));
    EXPECT_NE(current.find(":: after ", kLimit + 1), std::string::npos);
}

TEST(Logger, CurrentFileHeldOpenElsewhereKeepsTheOldFiles) {
    TempDir dir;
    const std::string path = dir.file("log");
    MakeLogFiles(path, kLimit + 1, {1, 2, 3, 4, 5});
    HANDLE held = HoldWithoutDeleteSharing(path);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string errors;
    {
        CTAVOLogger logger(path);
        StderrCapture capture;
        for (int i = 0; i < 6; ++i) {
            LOG_TO(logger, eLogError, false, "line %d", i);
        }
        errors = capture.text();
    }
    CloseHandle(held);
    EXPECT_NE(errors.find("Rename failed for " + path + "\nFile rotation failed\n"), std::string::npos) << errors;
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(ReadFileBytes(path + "." + std::to_string(n)), "old " + std::to_string(n));
    }
    const std::string current = ReadFileBytes(path);
    EXPECT_EQ(SplitCrLfLines(current.substr(kLimit + 1)).size(), 6u);
}

bool SetFileEnd(HANDLE file, LONGLONG end) {
    FILE_END_OF_FILE_INFO info;
    info.EndOfFile.QuadPart = end;
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &info, sizeof(info)) != FALSE;
}

// A file as long as the file system lets it be cannot take another line: an append to it fails as
// on a full disk, until the file is cut back. Short of that length by a few bytes, only the first
// bytes of a line fit, as on a disk that fills in mid-line.
TEST(Logger, ALineThatCannotBeWrittenWholeLeavesNothingAndIsTheOnlyOneLost) {
    for (const LONGLONG room : {0, 40}) {
        TempDir dir;
        const std::string path = dir.file("log");
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "before");
        const size_t written = ReadFileBytes(path).size();

        HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
        LONGLONG longest = 0;
        for (LONGLONG step = LONGLONG(1) << 62; step > 0; step /= 2) {
            if (SetFileEnd(other, longest + step)) {
                longest += step;
            }
        }
        const LONGLONG full = longest - room;
        ASSERT_TRUE(SetFileEnd(other, full));
        // The logger's 32-bit size check must not take the file for one to rotate.
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
        ASSERT_LE(static_cast<long>(data.nFileSizeLow), static_cast<long>(kLimit));

        LOG_TO(logger, eLogError, false, "lost with a message longer than the room left in the file");
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
        const LONGLONG after = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        ASSERT_TRUE(SetFileEnd(other, static_cast<LONGLONG>(written)));
        CloseHandle(other);
        // A whole line is far longer than the room plus 64 bytes: this file system took it.
        if (after - full >= room + 64) {
            GTEST_SKIP() << "this file system took the line at " << full;
        }
        EXPECT_EQ(after, full) << "a fragment of the line stayed in the file (room " << room << ")";

        LOG_TO(logger, eLogError, false, "after");
        LOG_TO(logger, eLogError, false, "later");
        const std::vector<std::string> lines = SplitCrLfLines(ReadFileBytes(path));
        ASSERT_EQ(lines.size(), 3u) << room;
        EXPECT_NE(lines[0].find(":: before "), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find(":: after "), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find(":: later "), std::string::npos) << lines[2];
    }
}

// A data directory may have any name: the log is opened, measured and rotated by the name's UTF-8
// meaning, not read in the ANSI code page.
TEST(Logger, WritesAndRotatesInAFolderWithANonAsciiName) {
    TempDir dir;
    const std::string path = dir.folder(tavo::test::kNonAsciiName) + "vrn_tavo.exe.log";
    MakeLogFiles(path, kLimit + 1, {1, 5});
    {
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "after %s", tavo::test::kNonAsciiName);
    }
    EXPECT_EQ(ReadFileBytes(path + ".1").size(), kLimit + 1);
    EXPECT_EQ(ReadFileBytes(path + ".2"), "old 1");
    EXPECT_FALSE(FileExists(path + ".5")) << "the oldest file is dropped";
    const std::vector<std::string> lines = SplitCrLfLines(ReadFileBytes(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(std::string(":: after ") + tavo::test::kNonAsciiName + " "), std::string::npos) << lines[0];
}

// The current file is set aside while the chain shifts; a file that could not be put back under
// its name then holds the lines, and a later rotation moves it into the chain instead of over it.
TEST(Logger, FileSetAsideByAnEarlierRotationIsNeverOverwritten) {
    TempDir dir;
    const std::string path = dir.file("log");
    MakeLogFiles(path, kLimit + 1, {1, 2});
    WriteFileBytes(path + ".rotating", "set aside");
    {
        CTAVOLogger logger(path);
        LOG_TO(logger, eLogError, false, "after");
    }
    EXPECT_FALSE(FileExists(path + ".rotating"));
    EXPECT_EQ(ReadFileBytes(path + ".1").size(), kLimit + 1);
    EXPECT_EQ(ReadFileBytes(path + ".2"), "set aside");
    EXPECT_EQ(ReadFileBytes(path + ".3"), "old 1");
    EXPECT_EQ(ReadFileBytes(path + ".4"), "old 2");
    EXPECT_EQ(SplitCrLfLines(ReadFileBytes(path)).size(), 1u);
}

// Another process opens the file set aside just as the rotation, stopped by an undeletable oldest
// file, tries to put it back under its name.
TEST(Logger, RotationThatCannotPutTheCurrentFileBackSaysSo) {
    TempDir dir;
    const std::string path = dir.file("log");
    const std::string aside = path + ".rotating";
    MakeLogFiles(path, kLimit + 1, {1, 2, 3, 4, 5});
    HANDLE oldest = HoldWithoutDeleteSharing(path + ".5");
    ASSERT_NE(oldest, INVALID_HANDLE_VALUE);
    std::atomic<HANDLE> held(INVALID_HANDLE_VALUE);
    std::atomic<bool> stop(false);
    std::thread grabber([&] {
        while (!stop && held == INVALID_HANDLE_VALUE) {
            held = HoldWithoutDeleteSharing(aside);
        }
    });
    std::string errors;
    int lines = 0;
    {
        CTAVOLogger logger(path);
        StderrCapture capture;
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (held == INVALID_HANDLE_VALUE && GetTickCount64() < deadline) {
            LOG_TO(logger, eLogError, false, "line %d", lines++);
        }
        stop = true;
        grabber.join();
        LOG_TO(logger, eLogError, false, "into a new file");
        errors = capture.text();
    }
    CloseHandle(oldest);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << "the rotation was never caught with its file set aside";
    CloseHandle(held);

    EXPECT_NE(errors.find("Remove  failed for " + path + ".5\nRename failed for " + aside + "\nFile rotation failed\n"),
              std::string::npos)
        << errors;
    const std::string kept = ReadFileBytes(aside);
    EXPECT_EQ(kept.substr(0, kLimit + 1), std::string(kLimit + 1, 'a'));
    EXPECT_EQ(SplitCrLfLines(kept.substr(kLimit + 1)).size(), static_cast<size_t>(lines - 1));
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(ReadFileBytes(path + "." + std::to_string(n)), "old " + std::to_string(n));
    }
    const std::vector<std::string> current = SplitCrLfLines(ReadFileBytes(path));
    ASSERT_EQ(current.size(), 2u);
    EXPECT_NE(current[0].find(":: line " + std::to_string(lines - 1) + " "), std::string::npos) << current[0];
}

TEST(Logger, ThreadsLoggingThroughRotationLoseAndInterleaveNothing) {
    TempDir dir;
    const std::string path = dir.file("log");
    MakeLogFiles(path, kLimit - 200000, {});
    constexpr int kThreads = 8;
    constexpr int kLines = 1500;
    {
        CTAVOLogger logger(path);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                const std::string filler(120, static_cast<char>('A' + t));
                for (int i = 0; i < kLines; ++i) {
                    LOG_TO(logger, eLogError, false, "thread %d line %d %s", t, i, filler.c_str());
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    ASSERT_TRUE(FileExists(path + ".1"));
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines, false));
    const std::regex lineFormat(".* :: thread (\\d) line (\\d+) ([A-H])\\3{119} ");
    EXPECT_FALSE(FileExists(path + ".2"));
    const std::string all = ReadFileBytes(path + ".1").substr(kLimit - 200000) + ReadFileBytes(path);
    int count = 0;
    for (const std::string& line : SplitCrLfLines(all)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, lineFormat)) << line.substr(0, 200);
        const int t = std::stoi(match[1]);
        const int i = std::stoi(match[2]);
        ASSERT_EQ(match[3].str()[0], 'A' + t);
        EXPECT_FALSE(seen[t][i]);
        seen[t][i] = true;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(LogMacro, NamesTheFileAndTheConditionAsWritten) {
    // The macro logs through the process's logger, which the test program opened at start.
    const void* pOs = nullptr;
    EXPECT_TRUE(TAVO_CONDITION_FAILED(NULL == pOs));
    EXPECT_FALSE(TAVO_CONDITION_FAILED(pOs != NULL));
    const std::string log = ReadFileBytes(tavo::test::ProcessLogPath());
    const std::string expected = " F: tavologger_test.cpp L: ";
    const size_t at = log.rfind("Failed in condition: (NULL == pOs)");
    ASSERT_NE(at, std::string::npos);
    const size_t lineStart = log.rfind('\n', at) + 1;
    const std::string line = log.substr(lineStart, log.find("\r\n", at) - lineStart);
    EXPECT_NE(line.find(expected), std::string::npos) << line;
    EXPECT_NE(line.find("f: `anonymous-namespace'::LogMacro_NamesTheFileAndTheConditionAsWritten_Test::TestBody "
                        "S: error :: Failed in condition: (NULL == pOs) "),
              std::string::npos)
        << line;
    EXPECT_EQ(log.find("Failed in condition: (pOs != NULL)"), std::string::npos);
}

}  // namespace
