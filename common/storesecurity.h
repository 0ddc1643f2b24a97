#pragma once

#include <windows.h>

#include <memory>

namespace tavo {

// Owner of a security identifier made by AllocateAndInitializeSid.
class Sid {
public:
    Sid() = default;
    ~Sid() {
        if (m_sid != nullptr) {
            FreeSid(m_sid);
        }
    }
    Sid(const Sid&) = delete;
    Sid& operator=(const Sid&) = delete;

    PSID get() const { return m_sid; }
    PSID* receive() { return &m_sid; }

private:
    PSID m_sid = nullptr;
};

// The identifiers of BUILTIN\Administrators and LocalSystem; false at the first that cannot be
// built, with the thread's last error telling why.
bool AllocateStoreSids(Sid& administrators, Sid& localSystem);

// The store's access list: full control for the administrators, then the system account, nothing
// inherited. The result is SetEntriesInAclW's; the caller frees the list with LocalFree.
DWORD BuildStoreAcl(const Sid& administrators, const Sid& localSystem, PACL* acl);

// Security attributes that give a file the store's access list, protected from the folder's
// inherited entries, from the instant it is created. Every file that holds the store's secrets
// (the store's next text, its lock file, a dump of the agent's memory) is created with them. Built
// ahead of use, so that a crash handler allocates nothing when it creates its dump.
class StoreSecurityAttributes {
public:
    StoreSecurityAttributes();
    StoreSecurityAttributes(const StoreSecurityAttributes&) = delete;
    StoreSecurityAttributes& operator=(const StoreSecurityAttributes&) = delete;

    // Null when the list could not be built: the caller then creates no file.
    SECURITY_ATTRIBUTES* get() { return m_built ? &m_attributes : nullptr; }

private:
    struct LocalFreeAcl {
        void operator()(ACL* acl) const { LocalFree(acl); }
    };

    std::unique_ptr<ACL, LocalFreeAcl> m_acl;
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_attributes = {};
    bool m_built = false;
};

}  // namespace tavo
