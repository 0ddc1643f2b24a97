#include "common/storesecurity.h"

#include <aclapi.h>

namespace tavo {

namespace {

void fillEntry(EXPLICIT_ACCESS_W& entry, PSID sid) {
    entry.grfAccessPermissions = FILE_ALL_ACCESS;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
}

}  // namespace

bool AllocateStoreSids(Sid& administrators, Sid& localSystem) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    return AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, administrators.receive()) &&
           AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                    localSystem.receive());
}

DWORD BuildStoreAcl(const Sid& administrators, const Sid& localSystem, PACL* acl) {
    EXPLICIT_ACCESS_W entries[2] = {};
    fillEntry(entries[0], administrators.get());
    fillEntry(entries[1], localSystem.get());
    return SetEntriesInAclW(2, entries, nullptr, acl);
}

StoreSecurityAttributes::StoreSecurityAttributes() {
    Sid administrators;
    Sid localSystem;
    PACL acl = nullptr;
    if (!AllocateStoreSids(administrators, localSystem) ||
        BuildStoreAcl(administrators, localSystem, &acl) != ERROR_SUCCESS) {
        return;
    }
    m_acl.reset(acl);
    if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return;
    }
    m_attributes = {sizeof(m_attributes), &m_descriptor, FALSE};
    m_built = true;
}

}  // namespace tavo
