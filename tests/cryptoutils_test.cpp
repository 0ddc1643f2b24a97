#include "agent/cryptoutils.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "common/tavostatus.h"

namespace {

// Counts the crypto library's live allocations; installed before anything in the process asks it
// for memory.
std::atomic<long> s_liveAllocations{0};

void* countingMalloc(size_t size, const char*, int) {
    void* p = malloc(size);
    if (p != nullptr) {
        ++s_liveAllocations;
    }
    return p;
}

void* countingRealloc(void* p, size_t size, const char*, int) {
    if (p == nullptr) {
        return countingMalloc(size, nullptr, 0);
    }
    if (size == 0) {
        free(p);
        --s_liveAllocations;
        return nullptr;
    }
    return realloc(p, size);
}

void countingFree(void* p, const char*, int) {
    if (p != nullptr) {
        free(p);
        --s_liveAllocations;
    }
}

const bool s_countingInstalled = CRYPTO_set_mem_functions(countingMalloc, countingRealloc, countingFree) == 1;

TEST(Sha1, MatchesPublishedDigestsInLowerCase) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {std::string("\0\x01\xff", 3), "c63e8274458bc7501e7c981f6394ced6d4490fda"},
    };
    for (const auto& c : cases) {
        std::string out = "old";
        EXPECT_EQ(tavo::GetSHA1Hash(reinterpret_cast<const unsigned char*>(c.input.data()), c.input.size(), out),
                  TAVO_OK);
        EXPECT_EQ(out, c.digest) << c.input.substr(0, 60);
    }
}

TEST(Sha1, NullDataIsAnInvalidArgument) {
    std::string out = "unchanged";
    EXPECT_EQ(tavo::GetSHA1Hash(nullptr, 3, out), TAVO_INVALID_ARGUMENT);
    EXPECT_EQ(out, "unchanged");
}

TEST(Base64, EncodesStandardVectorsOnOneLine) {
    const struct {
        std::string data;
        const char* text;
    } cases[] = {
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xfb\xff\xbf", 3), "+/+/"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(tavo::Base64Encode(c.data, out), TAVO_OK);
        EXPECT_EQ(out, c.text);
        std::string back;
        EXPECT_EQ(tavo::Base64Decode(c.text, back), TAVO_OK);
        EXPECT_EQ(back, c.data);
    }
}

TEST(Base64, LongInputStaysOnOneLineAndRoundTrips) {
    std::string sixty(60, '\0');
    for (size_t i = 0; i < sixty.size(); ++i) {
        sixty[i] = static_cast<char>(i * 7);
    }
    std::string out;
    ASSERT_EQ(tavo::Base64Encode(sixty, out), TAVO_OK);
    EXPECT_EQ(out.size(), 80u);
    EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);

    // Many decode chunks and every byte value.
    std::string large(100003, '\0');
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>((i * 131) ^ (i >> 8));
    }
    ASSERT_EQ(tavo::Base64Encode(large, out), TAVO_OK);
    EXPECT_EQ(out.size(), (large.size() + 2) / 3 * 4);
    EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
    std::string back;
    ASSERT_EQ(tavo::Base64Decode(out, back), TAVO_OK);
    EXPECT_TRUE(back == large);
}

TEST(Base64, EmptyInputFailsToEncodeButDecodesToNothing) {
    std::string out = "unchanged";
    EXPECT_EQ(tavo::Base64Encode("", out), TAVO_FAIL);
    EXPECT_EQ(out, "unchanged");
    out = "old";
    EXPECT_EQ(tavo::Base64Decode("", out), TAVO_OK);
    EXPECT_EQ(out, "");
}

TEST(Base64, EncodingAndDecodingKeepNoMemory) {
    ASSERT_TRUE(s_countingInstalled);
    std::string text, back;
    // The first calls may set up the library's own lasting state.
    ASSERT_EQ(tavo::Base64Encode(std::string(3000, 'x'), text), TAVO_OK);
    ASSERT_EQ(tavo::Base64Decode(text, back), TAVO_OK);
    const long before = s_liveAllocations;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(tavo::Base64Encode(std::string(3000, 'x'), text), TAVO_OK);
        ASSERT_EQ(tavo::Base64Decode(text, back), TAVO_OK);
    }
    EXPECT_EQ(s_liveAllocations, before);
}

}  // namespace
