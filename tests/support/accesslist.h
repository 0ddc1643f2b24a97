#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tavo::test {

// A file's discretionary access list, as a system call was handed it or as the system reports it.
struct AccessList {
    struct Entry {
        BYTE type = 0;
        BYTE flags = 0;
        ACCESS_MASK mask = 0;
        std::string sid;  // "S-1-5-18"; empty for entries of a type without one
    };
    // False for no list at all: the file then takes the folder's inherited entries, or a null list
    // lets everybody in.
    bool present = false;
    bool isProtected = false;
    std::vector<Entry> entries;
};

bool operator==(const AccessList::Entry& left, const AccessList::Entry& right);
bool operator==(const AccessList& left, const AccessList& right);
void PrintTo(const AccessList& list, std::ostream* out);

AccessList DescribeAccessList(const ACL* acl, bool isProtected);
// The list in a descriptor (none for a null descriptor), and whether the descriptor protects it.
AccessList DescribeDescriptor(PSECURITY_DESCRIPTOR descriptor);
// The list that the system reports for the file (a UTF-8 path) now. Under Wine that is a mapping of
// the file's Unix permissions, not the list that was set.
AccessList ReadAccessList(const std::string& path);

// The store's list: protected, and exactly two entries that allow full control (0x1F01FF) with no
// inheritance flags, BUILTIN\Administrators then LocalSystem.
testing::AssertionResult IsStoreAccessList(const AccessList& list);
// Everyone, Authenticated Users and Users are allowed nothing.
testing::AssertionResult GrantsOtherUsersNothing(const AccessList& list);

}  // namespace tavo::test
