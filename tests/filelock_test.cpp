#include "common/filelock.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/tavopath.h"
#include "tests/support/testutils.h"

using tavo::FileLock;
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

}  // namespace
