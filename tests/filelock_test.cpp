#include "common/filelock.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/tavopath.h"
#include "tests/support/filesecuritycapture.h"
#include "tests/support/importhook.h"
#include "tests/support/testutils.h"

using tavo::FileLock;
using tavo::test::FileSecurityCapture;
using tavo::test::ImportHook;
using tavo::test::TempDir;
using tavo::test::WriteFileBytes;

namespace {

struct Range {
    const char* what;
    DWORD offsetLow;
    DWORD offsetHigh;
    DWORD lengthLow;
    DWORD lengthHigh;
};

// The store's peers lock from offset 0 with 0xFFFFFFFF in both halves of the length; a lock that
// leaves out the first byte or the last one of that range is not seen by all of them.
const Range kPeerRanges[] = {
    {"the whole range", 0, 0, 0xFFFFFFFF, 0xFFFFFFFF},
    {"its first byte", 0, 0, 1, 0},
    {"its last byte", 0xFFFFFFFE, 0xFFFFFFFF, 1, 0},
};

// Whether a peer, through a handle of its own, is granted this lock at once.
bool peerIsGranted(const std::wstring& path, DWORD flags, const Range& range) {
    tavo::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file.valid()) << GetLastError();
    OVERLAPPED start = {};
    start.Offset = range.offsetLow;
    start.OffsetHigh = range.offsetHigh;
    if (!LockFileEx(file.get(), flags | LOCKFILE_FAIL_IMMEDIATELY, 0, range.lengthLow, range.lengthHigh, &start)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION)) << range.what;
        return false;
    }
    UnlockFileEx(file.get(), 0, range.lengthLow, range.lengthHigh, &start);
    return true;
}

TEST(FileLock, HoldsThePeersRangeInItsModeUntilItGoes) {
    TempDir dir;
    const std::wstring path = tavo::StringToWString(dir.file("tavostore.json.lck"));
    WriteFileBytes(dir.file("tavostore.json.lck"), "");
    const struct {
        FileLock::Mode mode;
        bool sharedGranted;
    } cases[] = {{FileLock::Mode::kShared, true}, {FileLock::Mode::kExclusive, false}};
    for (const auto& c : cases) {
        {
            const FileLock held(path, c.mode);
            ASSERT_EQ(held.error(), 0u);
            for (const Range& range : kPeerRanges) {
                EXPECT_EQ(peerIsGranted(path, 0, range), c.sharedGranted) << range.what;
                EXPECT_FALSE(peerIsGranted(path, LOCKFILE_EXCLUSIVE_LOCK, range)) << range.what;
            }
        }
        EXPECT_TRUE(peerIsGranted(path, LOCKFILE_EXCLUSIVE_LOCK, kPeerRanges[0])) << "the lock outlived its owner";
    }
}

// Waits of the lock's open, recorded in place of Sleep on the test's thread. The holder of the file
// may let go during one of them.
DWORD g_testThread = 0;
std::vector<DWORD> g_waits;
HANDLE g_holder = INVALID_HANDLE_VALUE;
size_t g_letGoAtWait = 0;

void WINAPI recordingSleep(DWORD milliseconds) {
    if (GetCurrentThreadId() != g_testThread) {
        SleepEx(milliseconds, FALSE);
        return;
    }
    g_waits.push_back(milliseconds);
    if (g_waits.size() == g_letGoAtWait) {
        CloseHandle(g_holder);
        g_holder = INVALID_HANDLE_VALUE;
    }
}

// A virus scanner or a backup agent may hold the lock file open without sharing for a moment: the
// open waits 250 ms and tries again, three attempts in all, with a wait after the last one too.
// Any other failure ends the attempts at once.
TEST(FileLock, OpenOfAFileHeldWithoutSharingWaitsAndTriesAgain) {
    const struct {
        const char* what;
        bool exists;
        size_t letGoAtWait;  // 0: never
        DWORD error;
        std::vector<DWORD> waits;
        size_t attempts;
    } cases[] = {
        {"missing file", false, 0, ERROR_FILE_NOT_FOUND, {}, 1},
        {"held throughout", true, 0, ERROR_SHARING_VIOLATION, {250, 250, 250}, 3},
        {"let go during the first wait", true, 1, 0, {250}, 2},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string lockPath = dir.file("tavostore.json.lck");
        if (c.exists) {
            WriteFileBytes(lockPath, "");
            g_holder = CreateFileW(tavo::StringToWString(lockPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr);
            ASSERT_NE(g_holder, INVALID_HANDLE_VALUE);
        }
        g_testThread = GetCurrentThreadId();
        g_waits.clear();
        g_letGoAtWait = c.letGoAtWait;
        DWORD error = 0;
        std::vector<FileSecurityCapture::Call> opens;
        {
            const ImportHook sleep("kernel32.dll", "Sleep", reinterpret_cast<const void*>(&recordingSleep));
            ASSERT_TRUE(sleep.installed());
            FileSecurityCapture capture;
            ASSERT_TRUE(capture.recordsCreations());
            error = FileLock(tavo::StringToWString(lockPath), FileLock::Mode::kExclusive).error();
            opens = capture.created(lockPath);
        }
        if (g_holder != INVALID_HANDLE_VALUE) {
            CloseHandle(g_holder);
            g_holder = INVALID_HANDLE_VALUE;
        }
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(g_waits, c.waits) << c.what;
        EXPECT_EQ(opens.size(), c.attempts) << c.what;
    }
}

}  // namespace
