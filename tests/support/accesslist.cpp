#include "tests/support/accesslist.h"

#include <aclapi.h>
#include <sddl.h>

#include <sstream>

#include "common/tavopath.h"

namespace tavo::test {

namespace {

std::string sidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        return "(invalid)";
    }
    std::string result = text;
    LocalFree(text);
    return result;
}

std::string describe(const AccessList& list) {
    std::ostringstream out;
    PrintTo(list, &out);
    return out.str();
}

}  // namespace

bool operator==(const AccessList::Entry& left, const AccessList::Entry& right) {
    return left.type == right.type && left.flags == right.flags && left.mask == right.mask && left.sid == right.sid;
}

bool operator==(const AccessList& left, const AccessList& right) {
    return left.present == right.present && left.isProtected == right.isProtected && left.entries == right.entries;
}

void PrintTo(const AccessList& list, std::ostream* out) {
    if (!list.present) {
        *out << "no list";
        return;
    }
    *out << (list.isProtected ? "protected" : "not protected") << ", " << list.entries.size() << " entries:";
    for (const AccessList::Entry& entry : list.entries) {
        *out << " {type " << int(entry.type) << " flags 0x" << std::hex << int(entry.flags) << " mask 0x"
             << entry.mask << std::dec << " " << entry.sid << "}";
    }
}

AccessList DescribeAccessList(const ACL* acl, bool isProtected) {
    AccessList list;
    if (acl == nullptr) {
        return list;
    }
    list.present = true;
    list.isProtected = isProtected;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(const_cast<ACL*>(acl), i, reinterpret_cast<void**>(&header))) {
            break;
        }
        AccessList::Entry entry;
        entry.type = header->AceType;
        entry.flags = header->AceFlags;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // Both kinds have the same layout.
            ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            entry.mask = ace->Mask;
            entry.sid = sidText(&ace->SidStart);
        }
        list.entries.push_back(entry);
    }
    return list;
}

AccessList DescribeDescriptor(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) {
        return AccessList();
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present ||
        !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        return AccessList();
    }
    return DescribeAccessList(acl, (control & SE_DACL_PROTECTED) != 0);
}

AccessList ReadAccessList(const std::string& path) {
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring name = StringToWString(path);
    if (GetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
        return AccessList();
    }
    const AccessList list = DescribeDescriptor(descriptor);
    LocalFree(descriptor);
    return list;
}

testing::AssertionResult IsStoreAccessList(const AccessList& list) {
    const char* const sids[] = {"S-1-5-32-544", "S-1-5-18"};  // BUILTIN\Administrators, LocalSystem
    bool matches = list.present && list.isProtected && list.entries.size() == 2;
    for (size_t i = 0; matches && i < 2; ++i) {
        const AccessList::Entry& entry = list.entries[i];
        matches = entry.type == ACCESS_ALLOWED_ACE_TYPE && entry.flags == 0 && entry.mask == FILE_ALL_ACCESS &&
                  entry.sid == sids[i];
    }
    if (!matches) {
        return testing::AssertionFailure() << "not the store's list: " << describe(list);
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult GrantsOtherUsersNothing(const AccessList& list) {
    if (!list.present) {
        return testing::AssertionFailure() << "no access list: the folder's entries or everybody may open it";
    }
    const char* const others[] = {"S-1-1-0", "S-1-5-11", "S-1-5-32-545"};  // Everyone, Authenticated Users, Users
    for (const AccessList::Entry& entry : list.entries) {
        for (const char* other : others) {
            if (entry.type == ACCESS_ALLOWED_ACE_TYPE && entry.sid == other) {
                return testing::AssertionFailure() << other << " may open it: " << describe(list);
            }
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace tavo::test
