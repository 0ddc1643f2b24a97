#include "crashclient/dumpname.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const GUID kGuid = {0x0123abcd, 0x0a0b, 0xc0d0, {0x00, 0x01, 0x02, 0x03, 0xfe, 0xdc, 0xba, 0x98}};

TEST(DumpName, GuidTextsKeepLeadingZerosAndTheirCase) {
    wchar_t text[37];
    GuidToString(kGuid, text, 37);
    EXPECT_EQ(std::wstring(text), L"0123abcd-0a0b-c0d0-0001-0203fedcba98");
    wchar_t compact[33];
    GuidToCompactString(kGuid, compact, 33);
    EXPECT_EQ(std::wstring(compact), L"0123ABCD0A0BC0D000010203FEDCBA98");
}

TEST(DumpName, TextIsCutToItsBufferAndTerminated) {
    wchar_t text[9];
    wmemset(text, L'#', 9);
    GuidToString(kGuid, text, 9);
    EXPECT_EQ(std::wstring(text), L"0123abcd");
    GUID zero = {};
    wchar_t zeros[37];
    GuidToString(zero, zeros, 37);
    EXPECT_EQ(std::wstring(zeros), L"00000000-0000-0000-0000-000000000000");
}

}  // namespace
