#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/accesslist.h"
#include "tests/support/importhook.h"

namespace tavo::test {

// While the owner lives, records the access list that this program hands the system with every
// file it creates or opens (CreateFileW) and every list it applies to a file
// (SetNamedSecurityInfoW), then lets the call go on unless it is to be refused. The product's code
// is linked into the test program, so its calls are among them, on any thread. One owner at a time.
class FileSecurityCapture {
public:
    struct Call {
        std::string path;  // UTF-8, as handed over
        DWORD disposition = 0;  // CreateFileW's
        SECURITY_INFORMATION information = 0;  // SetNamedSecurityInfoW's
        bool ownerGroupOrSacl = false;  // SetNamedSecurityInfoW was handed any of them
        AccessList list;
    };

    FileSecurityCapture();
    ~FileSecurityCapture();
    FileSecurityCapture(const FileSecurityCapture&) = delete;
    FileSecurityCapture& operator=(const FileSecurityCapture&) = delete;

    // Whether each function is recorded: a program that does not import one makes no such calls.
    bool recordsCreations() const { return m_createFile.installed(); }
    bool recordsApplications() const { return m_setNamedSecurityInfo.installed(); }
    // The calls so far whose path ends with suffix, in order.
    std::vector<Call> created(const std::string& suffix) const;
    std::vector<Call> applied(const std::string& suffix) const;
    // From now on a list applied to a file whose path ends with suffix is recorded and refused with
    // error, as the system refuses it on a file whose owner denies the caller.
    void refuseApplications(const std::string& suffix, DWORD error);

private:
    ImportHook m_createFile;
    ImportHook m_setNamedSecurityInfo;
};

}  // namespace tavo::test
