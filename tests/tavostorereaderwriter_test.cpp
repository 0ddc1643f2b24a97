#include "agent/tavostorereaderwriter.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/tavostatus.h"
#include "common/tavostorefileimpl.h"
#include "tests/support/testutils.h"

using tavo::CTAVOStoreReaderWriter;
using tavo::test::ReadFileBytes;
using tavo::test::LogTail;
using tavo::test::TempDir;
using tavo::test::WriteFileBytes;

namespace {

const std::string kRW = "tavo::CTAVOStoreReaderWriter::";

// Lines of the reader/writer's own functions only.
std::vector<std::string> OwnLines(const LogTail& log) {
    std::vector<std::string> own;
    for (const std::string& line : log.lines()) {
        if (line.compare(0, kRW.size(), kRW) == 0) {
            own.push_back(line);
        }
    }
    return own;
}

std::string Line(const std::string& function, const char* level, const std::string& message) {
    return kRW + function + " S: " + level + " :: " + message;
}

// A reader/writer on "tavostore.json" in a fresh folder.
struct Fixture {
    Fixture() { EXPECT_EQ(rw.Initialize(1, path), TAVO_OK); }

    void store(const std::string& text) { WriteFileBytes(path, text); }
    std::string stored(const std::string& key) {
        tavo::CTAVOStoreFileImpl file;
        file.Initialize(path);
        std::string value;
        EXPECT_EQ(file.ReadKeyValue(key, value), TAVO_OK) << key;
        return value;
    }

    TempDir dir;
    const std::string path = dir.file("tavostore.json");
    CTAVOStoreReaderWriter rw;
};

using Getter = std::function<std::string(CTAVOStoreReaderWriter&)>;
using Setter = std::function<int(CTAVOStoreReaderWriter&, const std::string&)>;

const struct GetterCase {
    const char* function;
    const char* key;
    Getter get;
    const char* failed;
    const char* read;
} kGetters[] = {
    {"GetTAVO", "tavo", &CTAVOStoreReaderWriter::GetTAVO, "Fetching TAVO failed. Returning TAVO = []",
     "New TAVO value returned."},
    {"GetToken", "tavo_token", &CTAVOStoreReaderWriter::GetToken, "Fetching Token failed. Returning Token = []",
     "New Token value returned."},
    {"GetInstanceKey", "instance_key", &CTAVOStoreReaderWriter::GetInstanceKey,
     "Fetching Instance key failed. Returning empty key.", "Valid Instance key value returned."},
    {"GetEventURL", "event_url", &CTAVOStoreReaderWriter::GetEventURL,
     "Fetching Event URL failed. Returning Event URL = []", "New Event URL value returned."},
};

const struct SetterCase {
    const char* function;
    const char* key;
    Setter set;
    Getter get;  // empty for keys without a cache
    const char* done;
    const char* failed;
    const char* noStore;
} kSetters[] = {
    {"SetTAVO", "tavo", &CTAVOStoreReaderWriter::SetTAVO, &CTAVOStoreReaderWriter::GetTAVO, "TAVO updated",
     "Setting TAVO failed", "Setting TAVO failed - Initialize not done"},
    {"SetToken", "tavo_token", &CTAVOStoreReaderWriter::SetToken, &CTAVOStoreReaderWriter::GetToken,
     "Setting Token done", "Setting Token failed", "Setting Token failed - Initialize not done"},
    {"SetInstanceKey", "instance_key", &CTAVOStoreReaderWriter::SetInstanceKey,
     &CTAVOStoreReaderWriter::GetInstanceKey, "Setting Instance Key done", "Setting Instance Key failed",
     "Setting Instance Key failed - Initialize not done"},
    {"SetEventURL", "event_url", &CTAVOStoreReaderWriter::SetEventURL, &CTAVOStoreReaderWriter::GetEventURL,
     "Event URL updated", "Setting Event URL failed", "Setting Event URL failed - Initialize not done"},
    {"SetCatalogURL", "catalog_url", &CTAVOStoreReaderWriter::SetCatalogURL, nullptr, "Catalog URL updated",
     "Setting Catalog URL failed", "Setting Catalog URL failed - Initialize not done"},
    {"SetCheckinURL", "checkin_url", &CTAVOStoreReaderWriter::SetCheckinURL, nullptr, "Checkin URL updated",
     "Setting Checkin URL failed", "Setting Checkin URL failed - Initialize not done"},
    {"SetBID", "business_id", &CTAVOStoreReaderWriter::SetBID, nullptr, "BID updated", "Setting BID failed",
     "Setting BID failed - Initialize not done"},
};

TEST(StoreReaderWriter, InitializeTakesOnlyTheJsonFileStore) {
    TempDir dir;
    CTAVOStoreReaderWriter rw;
    LogTail log;
    EXPECT_EQ(rw.Initialize(2, dir.file("tavostore.json")), TAVO_INVALID_ARGUMENT);
    EXPECT_EQ(rw.Initialize(0, dir.file("tavostore.json")), TAVO_INVALID_ARGUMENT);
    EXPECT_EQ(log.count(Line("Initialize", "error", "Init failed. Invalid Store Type")), 2u) << log.text();
    EXPECT_EQ(rw.SetBID("b"), TAVO_ERROR);
    EXPECT_FALSE(tavo::test::FileExists(dir.file("tavostore.json.lck")));

    EXPECT_EQ(rw.Initialize(1, dir.file("tavostore.json")), TAVO_OK);
    EXPECT_EQ(log.count(Line("Initialize", "debug", "Init done")), 1u);
    EXPECT_TRUE(tavo::test::FileExists(dir.file("tavostore.json.lck")));
    EXPECT_EQ(rw.SetBID("b"), TAVO_OK);
}

TEST(StoreReaderWriter, WithoutAStoreGettersReadNothingAndSettersFail) {
    CTAVOStoreReaderWriter rw;
    LogTail log;
    for (const GetterCase& g : kGetters) {
        EXPECT_EQ(g.get(rw), "") << g.function;
    }
    EXPECT_EQ(rw.GetRetryTimestamp(), 0);
    EXPECT_EQ(OwnLines(log), std::vector<std::string>()) << "getters without a store log nothing";

    for (const SetterCase& s : kSetters) {
        EXPECT_EQ(s.set(rw, "v"), TAVO_ERROR) << s.function;
        EXPECT_EQ(log.count(Line(s.function, "error", s.noStore)), 1u) << s.function;
        if (s.get) {
            EXPECT_EQ(s.get(rw), "") << s.function;
        }
    }
    EXPECT_EQ(rw.SetRetryTimestamp(4102444800), TAVO_ERROR);
    EXPECT_EQ(log.count(Line("SetRetryTimestamp", "error",
                             "Setting Retry After timestamp failed - Initialization not done")),
              1u);
    EXPECT_EQ(rw.GetRetryTimestamp(), 0);
}

// A string getter reads the store while its cache is empty, and never again once it holds a value.
TEST(StoreReaderWriter, StringGettersReadTheStoreOnlyWhileTheirCacheIsEmpty) {
    for (const GetterCase& g : kGetters) {
        Fixture f;
        const std::string failed = Line(g.function, "warning", g.failed);
        const std::string read = Line(g.function, "debug", g.read);
        LogTail log;
        EXPECT_EQ(g.get(f.rw), "") << g.function;
        f.store(std::string("{\"other\": \"x\"}"));
        EXPECT_EQ(g.get(f.rw), "") << g.function;
        EXPECT_EQ(log.count(failed), 2u) << g.function << "\n" << log.text();

        // An empty stored value is found but leaves the cache empty, so the next call reads again.
        f.store(std::string("{\"") + g.key + "\": \"\"}");
        EXPECT_EQ(g.get(f.rw), "") << g.function;
        f.store(std::string("{\"") + g.key + "\": \"first\"}");
        EXPECT_EQ(g.get(f.rw), "first") << g.function;
        EXPECT_EQ(log.count(read), 2u) << g.function;

        f.store(std::string("{\"") + g.key + "\": \"second\"}");
        LogTail later;
        EXPECT_EQ(g.get(f.rw), "first") << g.function;
        EXPECT_EQ(later.lines(), std::vector<std::string>()) << g.function << " read the store again";
    }
}

TEST(StoreReaderWriter, SettersWriteTheirKeyAndKeepTheOldCacheWhenTheWriteFails) {
    for (const SetterCase& s : kSetters) {
        Fixture f;
        LogTail log;
        ASSERT_EQ(s.set(f.rw, std::string("v-") + s.key), TAVO_OK) << s.function;
        EXPECT_EQ(log.count(Line(s.function, "debug", s.done)), 1u) << s.function;
        EXPECT_EQ(f.stored(s.key), std::string("v-") + s.key);
        // Empty values are written too.
        ASSERT_EQ(s.set(f.rw, ""), TAVO_OK) << s.function;
        EXPECT_EQ(f.stored(s.key), "");
        ASSERT_EQ(s.set(f.rw, "set"), TAVO_OK) << s.function;

        // A store that cannot be rewritten: the result is the store's, and the cache stays.
        const std::string broken = "{\"tavo\": ";
        f.store(broken);
        EXPECT_EQ(s.set(f.rw, "lost"), TAVO_ERROR) << s.function;
        EXPECT_EQ(log.count(Line(s.function, "error", s.failed)), 1u) << s.function;
        EXPECT_EQ(ReadFileBytes(f.path), broken);
        if (s.get) {
            // Served from the cache: the store file is not JSON, so a read would fail.
            EXPECT_EQ(s.get(f.rw), "set") << s.function;
        }
    }
}

// The line numbers ("L:") that each of the reader/writer's operations logged in a log text.
std::map<std::string, std::set<long>> LoggedLineNumbers(const std::string& text) {
    std::map<std::string, std::set<long>> numbers;
    const std::regex field(" L: (\\d+) f: " + kRW + "(\\w+) S: ");
    for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it) {
        numbers[(*it)[2]].insert(std::stol((*it)[1]));
    }
    return numbers;
}

// Parents read "L:" to find the call that logged; a shared helper's own line would name the same
// place for every operation.
TEST(StoreReaderWriter, EachOperationLogsItsOwnLine) {
    Fixture f;
    CTAVOStoreReaderWriter noStore;
    LogTail log;
    for (const GetterCase& g : kGetters) {
        g.get(f.rw);  // nothing stored yet: the failure message
    }
    for (const SetterCase& s : kSetters) {
        ASSERT_EQ(s.set(f.rw, "v"), TAVO_OK) << s.function;
        s.set(noStore, "v");
    }
    CTAVOStoreReaderWriter restarted;
    ASSERT_EQ(restarted.Initialize(1, f.path), TAVO_OK);
    for (const GetterCase& g : kGetters) {
        EXPECT_EQ(g.get(restarted), "v") << g.function;  // the success message
    }
    f.store("{\"tavo\": ");
    for (const SetterCase& s : kSetters) {
        s.set(f.rw, "lost");  // the failure message
    }

    const std::map<std::string, std::set<long>> numbers = LoggedLineNumbers(log.text());
    std::set<long> all;
    for (const GetterCase& g : kGetters) {
        ASSERT_EQ(numbers.count(g.function), 1u) << g.function;
        EXPECT_EQ(numbers.at(g.function).size(), 1u) << g.function << " logs from one call";
        all.insert(numbers.at(g.function).begin(), numbers.at(g.function).end());
    }
    for (const SetterCase& s : kSetters) {
        ASSERT_EQ(numbers.count(s.function), 1u) << s.function;
        EXPECT_EQ(numbers.at(s.function).size(), 1u) << s.function << " logs from one call";
        all.insert(numbers.at(s.function).begin(), numbers.at(s.function).end());
    }
    EXPECT_EQ(all.size(), std::size(kGetters) + std::size(kSetters)) << "operations sharing a line\n" << log.text();
}

TEST(StoreReaderWriter, RetryTimestampIsReadAsSigned64BitDecimal) {
    const struct {
        const char* stored;
        int64_t expected;
        bool number;  // false: not converted, logged, 0 returned
    } cases[] = {
        {"1700000000", 1700000000, true},
        {" 42abc", 42, true},
        {"\t+7", 7, true},
        {"2147483648", 2147483648LL, true},
        {"4102444800", 4102444800LL, true},
        {"9223372036854775807", std::numeric_limits<int64_t>::max(), true},
        {"0", 0, true},
        {"-5", -5, true},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min(), true},
        {"abc", 0, false},
        {"", 0, false},
        {"  ", 0, false},
        {"+-5", 0, false},
        {"- 5", 0, false},
        {"9223372036854775808", 0, false},
        {"99999999999999999999", 0, false},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.store(std::string("{\"retry-after\": \"") + c.stored + "\"}");
        LogTail log;
        EXPECT_EQ(f.rw.GetRetryTimestamp(), c.expected) << c.stored;
        if (c.number) {
            EXPECT_EQ(log.count(Line("GetRetryTimestamp", "debug",
                                     "Getting Retry Timestamp = [" + std::to_string(c.expected) + "]")),
                      1u)
                << c.stored << "\n"
                << log.text();
        } else {
            EXPECT_EQ(log.count(Line("GetRetryTimestamp", "warning",
                                     std::string("Retry timestamp [") + c.stored +
                                         "] is not a number. Returning Retry After Seconds = 0")),
                      1u)
                << c.stored << "\n"
                << log.text();
        }
        // Only a positive time is kept; anything else is read again.
        f.store("{\"retry-after\": \"123\"}");
        EXPECT_EQ(f.rw.GetRetryTimestamp(), c.expected > 0 ? c.expected : 123) << c.stored;
    }
}

TEST(StoreReaderWriter, RetryTimestampThatCannotBeReadGivesZero) {
    for (const char* content : {"{\"tavo\": \"x\"}", "{\"retry-after\": 5}", "not json"}) {
        Fixture f;
        f.store(content);
        LogTail log;
        EXPECT_EQ(f.rw.GetRetryTimestamp(), 0) << content;
        EXPECT_EQ(f.rw.GetRetryTimestamp(), 0) << content;
        EXPECT_EQ(log.count(Line("GetRetryTimestamp", "warning",
                                 "Fetching Retry timestamp failed. Returning Retry After Seconds = 0")),
                  2u)
            << content;
    }
}

// The time is stored as plain signed decimal text, and a later process reads back the same time,
// also after 2038.
TEST(StoreReaderWriter, RetryTimestampIsWrittenAsDecimalAndSurvivesARestart) {
    const struct {
        int64_t timestamp;
        const char* text;
    } cases[] = {
        {-1, "-1"},
        {0, "0"},
        {1700000000, "1700000000"},
        {4102444800LL, "4102444800"},
        {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
    };
    for (const auto& c : cases) {
        Fixture f;
        LogTail log;
        ASSERT_EQ(f.rw.SetRetryTimestamp(c.timestamp), TAVO_OK) << c.text;
        EXPECT_EQ(log.count(Line("SetRetryTimestamp", "debug", "Setting Retry After timestamp done")), 1u);
        EXPECT_EQ(f.stored("retry-after"), c.text);
        EXPECT_EQ(f.rw.GetRetryTimestamp(), c.timestamp) << c.text;

        CTAVOStoreReaderWriter restarted;
        ASSERT_EQ(restarted.Initialize(1, f.path), TAVO_OK);
        EXPECT_EQ(restarted.GetRetryTimestamp(), c.timestamp) << c.text;
    }
}

TEST(StoreReaderWriter, RetryTimestampHoldsInThisProcessWhenItsWriteFails) {
    Fixture f;
    ASSERT_EQ(f.rw.SetRetryTimestamp(1000), TAVO_OK);
    const std::string broken = "{\"retry-after\": ";
    f.store(broken);
    LogTail log;
    EXPECT_EQ(f.rw.SetRetryTimestamp(4102444800LL), TAVO_ERROR);
    EXPECT_EQ(log.count(Line("SetRetryTimestamp", "error", "Setting Retry After timestamp failed")), 1u);
    EXPECT_EQ(ReadFileBytes(f.path), broken);
    EXPECT_EQ(f.rw.GetRetryTimestamp(), 4102444800LL);
    EXPECT_EQ(log.count(Line("GetRetryTimestamp", "warning",
                             "Fetching Retry timestamp failed. Returning Retry After Seconds = 0")),
              0u)
        << "served from memory";
}

}  // namespace
