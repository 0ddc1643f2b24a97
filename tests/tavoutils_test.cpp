#include "common/tavoutils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace {

TEST(Trim, RemovesOnlyOuterBlanks) {
    const struct {
        std::string text, left, right, both;
    } cases[] = {
        {" \tword\r\n", "word\r\n", " \tword", "word"},
        {"two words", "two words", "two words", "two words"},
        {"\f\v a b \v\f", "a b \v\f", "\f\v a b", "a b"},
        {" \n\r\t\f\v", "", "", ""},
        {"", "", "", ""},
        {"x", "x", "x", "x"},
    };
    for (const auto& c : cases) {
        std::string left = c.text, right = c.text, both = c.text;
        tavo::TrimLeft(left);
        tavo::TrimRight(right);
        tavo::Trim(both);
        EXPECT_EQ(left, c.left) << c.text;
        EXPECT_EQ(right, c.right) << c.text;
        EXPECT_EQ(both, c.both) << c.text;
    }
}

TEST(FormatHexBytes, WritesLowerCasePairsJoinedByDashes) {
    const uint8_t three[] = {0x00, 0x1A, 0xFF};
    const uint8_t mac[] = {0x00, 0x50, 0x56, 0xC0, 0x00, 0x08};
    const uint8_t newline = 0x0A;
    std::string out = "old";
    tavo::FormatHexBytes(three, sizeof(three), out);
    EXPECT_EQ(out, "00-1a-ff");
    tavo::FormatHexBytes(mac, sizeof(mac), out);
    EXPECT_EQ(out, "00-50-56-c0-00-08");
    tavo::FormatHexBytes(&newline, 1, out);
    EXPECT_EQ(out, "0a");
    tavo::FormatHexBytes(three, 0, out);
    EXPECT_EQ(out, "");
    out = "unchanged";
    tavo::FormatHexBytes(nullptr, 3, out);
    EXPECT_EQ(out, "unchanged");
}

// The narrow and the wide family behave alike; every case runs on both.
struct Narrow {
    using Char = char;
    static std::string text(const char* ascii) { return ascii; }
    static size_t nlen(const char* s, size_t max) { return tavo::StrNLen(s, max); }
    static size_t lcpy(char* d, const char* s, size_t n) { return tavo::StrLCpy(d, s, n); }
    static size_t lcat(char* d, const char* s, size_t n) { return tavo::StrLCat(d, s, n); }
    static const char* npbrk(const char* s, const char* set, size_t max) { return tavo::StrNPBrk(s, set, max); }
};

struct Wide {
    using Char = wchar_t;
    static std::wstring text(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }
    static size_t nlen(const wchar_t* s, size_t max) { return tavo::WcsNLen(s, max); }
    static size_t lcpy(wchar_t* d, const wchar_t* s, size_t n) { return tavo::WcsLCpy(d, s, n); }
    static size_t lcat(wchar_t* d, const wchar_t* s, size_t n) { return tavo::WcsLCat(d, s, n); }
    static const wchar_t* npbrk(const wchar_t* s, const wchar_t* set, size_t max) {
        return tavo::WcsNPBrk(s, set, max);
    }
};

template <typename T>
class BoundedString : public testing::Test {
protected:
    using Char = typename T::Char;
    using String = std::basic_string<Char>;

    // A buffer of `capacity` characters followed by guard characters that must stay untouched.
    struct Buffer {
        explicit Buffer(size_t capacity, const char* initial = "") : capacity(capacity) {
            storage.assign(capacity + kGuard, Char('#'));
            const String start = T::text(initial);
            std::copy(start.begin(), start.end(), storage.begin());
            if (start.size() < capacity) {
                storage[start.size()] = Char(0);
            }
        }
        Char* data() { return &storage[0]; }
        String contents() const { return String(storage.c_str()); }
        bool guardIntact() const { return storage.substr(capacity) == String(kGuard, Char('#')); }
        static constexpr size_t kGuard = 8;
        size_t capacity;
        String storage;
    };
};

using Families = testing::Types<Narrow, Wide>;
TYPED_TEST_SUITE(BoundedString, Families);

TYPED_TEST(BoundedString, LengthStopsAtTheBound) {
    using T = TypeParam;
    const auto text = T::text("abcdef");
    EXPECT_EQ(T::nlen(text.c_str(), 100), 6u);
    EXPECT_EQ(T::nlen(text.c_str(), 4), 4u);
    EXPECT_EQ(T::nlen(text.c_str(), 0), 0u);
    EXPECT_EQ(T::nlen(nullptr, 10), 0u);
}

TYPED_TEST(BoundedString, CopyTruncatesAndReturnsTheBoundedLength) {
    using T = TypeParam;
    typename TestFixture::Buffer buffer(8, "zzzzzzz");
    const auto twenty = T::text("abcdefghijklmnopqrst");
    EXPECT_EQ(T::lcpy(buffer.data(), twenty.c_str(), 8), 8u);
    EXPECT_EQ(buffer.contents(), T::text("abcdefg"));
    EXPECT_TRUE(buffer.guardIntact());

    const auto shortText = T::text("abc");
    EXPECT_EQ(T::lcpy(buffer.data(), shortText.c_str(), 8), 3u);
    EXPECT_EQ(buffer.contents(), shortText);

    // Nothing is written without room, and a missing destination only measures.
    typename TestFixture::Buffer untouched(0);
    EXPECT_EQ(T::lcpy(untouched.data(), twenty.c_str(), 0), 0u);
    EXPECT_TRUE(untouched.guardIntact());
    EXPECT_EQ(T::lcpy(nullptr, twenty.c_str(), 5), 5u);
    EXPECT_EQ(T::lcpy(buffer.data(), nullptr, 8), 0u);
    EXPECT_EQ(buffer.contents(), shortText);
}

TYPED_TEST(BoundedString, AppendTruncatesAndReportsWhatWasNeeded) {
    using T = TypeParam;
    const auto tail = T::text("defgh");
    {
        typename TestFixture::Buffer buffer(16, "abc");
        EXPECT_EQ(T::lcat(buffer.data(), tail.c_str(), 16), 8u);
        EXPECT_EQ(buffer.contents(), T::text("abcdefgh"));
        EXPECT_TRUE(buffer.guardIntact());
    }
    {
        typename TestFixture::Buffer buffer(6, "abc");
        EXPECT_EQ(T::lcat(buffer.data(), tail.c_str(), 6), 8u);
        EXPECT_EQ(buffer.contents(), T::text("abcde"));
        EXPECT_TRUE(buffer.guardIntact());
    }
    {
        // No terminator within the capacity: nothing is appended.
        typename TestFixture::Buffer buffer(4, "abcd");
        EXPECT_EQ(T::lcat(buffer.data(), tail.c_str(), 4), 4u);
        EXPECT_EQ(buffer.storage.substr(0, 4), T::text("abcd"));
        EXPECT_TRUE(buffer.guardIntact());
    }
    typename TestFixture::Buffer buffer(8, "abc");
    EXPECT_EQ(T::lcat(nullptr, tail.c_str(), 8), 8u);
    EXPECT_EQ(T::lcat(buffer.data(), nullptr, 8), 8u);
    EXPECT_EQ(buffer.contents(), T::text("abc"));
}

TYPED_TEST(BoundedString, BreakFindsTheFirstSetMemberWithinTheBound) {
    using T = TypeParam;
    const auto text = T::text("key=value;x");
    const auto set = T::text(";=");
    EXPECT_EQ(T::npbrk(text.c_str(), set.c_str(), 100), text.c_str() + 3);
    EXPECT_EQ(T::npbrk(text.c_str(), set.c_str(), 4), text.c_str() + 3);
    EXPECT_EQ(T::npbrk(text.c_str(), set.c_str(), 3), nullptr);
    EXPECT_EQ(T::npbrk(text.c_str(), set.c_str(), 0), nullptr);
    EXPECT_EQ(T::npbrk(text.c_str(), T::text("!").c_str(), 100), nullptr);
    EXPECT_EQ(T::npbrk(text.c_str(), T::text("").c_str(), 100), nullptr);
    EXPECT_EQ(T::npbrk(nullptr, set.c_str(), 100), nullptr);
    EXPECT_EQ(T::npbrk(text.c_str(), nullptr, 100), nullptr);
    // The terminator ends the search even when the bound is larger.
    const auto withHiddenMatch = T::text("ab") + typename TestFixture::String(1, 0) + T::text(";");
    EXPECT_EQ(T::npbrk(withHiddenMatch.c_str(), set.c_str(), 4), nullptr);
}

}  // namespace
