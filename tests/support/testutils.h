#pragma once

#include <string>

namespace tavo::test {

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

private:
    std::string m_path;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Folder of the running test program, ending with a backslash (the stand-in programs live there).
std::string ProgramDir();

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
