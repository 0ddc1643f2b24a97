#pragma once

#include <string>
#include <vector>

namespace tavo::test {

// Paths are UTF-8 here, as the data directory is.

// A file or folder name that no ANSI code page spells whole: "dätä-数据", in UTF-8.
extern const char kNonAsciiName[];

// A fresh, empty folder under the temporary folder, ending with a backslash; removed with its
// files when the owner goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + name; }
    // Creates the folder `name` in this one; its path, ending with a backslash.
    std::string folder(const std::string& name) const;

private:
    std::string m_path;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Folder of the running test program, ending with a backslash (the stand-in programs live there).
std::string ProgramDir();

// The log file of this test process (%TEMP%\<program>-<pid>.log), which the test program's main
// opens as the process's logger: test cases run as parallel processes, each with a log of its own.
const std::string& ProcessLogPath();

// The complete lines that the process's log gains while the owner lives, each from its function
// name on ("tavo::CTAVOConfig::CTAVOConfig S: error :: Empty Config Directory Path."), without the
// blank that stands before the (usually empty) system error text. A line that another thread is
// still writing is left out.
class LogTail {
public:
    LogTail();
    std::vector<std::string> lines() const;
    // How many of the lines are exactly `line`.
    size_t count(const std::string& line) const;
    // Everything added, as written (for failure messages).
    std::string text() const;

private:
    size_t m_start;
};

// The complete lines of a log text, each from its function name on, without the blank that stands
// before the (usually empty) system error text.
std::vector<std::string> LogLines(const std::string& text);

// Index of the first line at or after `from` that contains text, or -1.
int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from = 0);

// Waits up to timeoutMs for the process's log to hold a complete line that contains text.
bool WaitForLogLine(const std::string& text, unsigned long timeoutMs);

// Captures what the process writes to standard error while the owner lives.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string text();

private:
    void restore();
    std::string m_file;
    int m_savedFd = -1;
};

}  // namespace tavo::test
