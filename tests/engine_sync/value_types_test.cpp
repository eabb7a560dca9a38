// The engine's small value types: dbArray (bounds, growth), dbDateTime (calendar fields in
// local time) and the text pool kestdbBuffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "array.h"
#include "datetime.h"
#include "kestdb_buffer.h"

namespace {

TEST(DbArray, AtPastTheEndRaisesCodeZero) {
    dbArray<int> a;
    EXPECT_EQ(a.length(), 0u);
    EXPECT_EQ(a.get(), nullptr);
    try {
        a.at(0);
        FAIL() << "no exception";
    } catch (const dbException& e) {
        EXPECT_EQ(e.getErrCode(), 0);
    }
    a.append(5);
    EXPECT_EQ(a.at(0), 5);
    EXPECT_THROW(a.at(1), dbException);
}

TEST(DbArray, InsertGrowsToEightThenDoubles) {
    dbArray<int> a;
    a.append(1);
    EXPECT_EQ(a.allocatedCapacity(), 8u);
    for (int i = 2; i <= 8; i++) {
        a.append(i);
    }
    EXPECT_EQ(a.allocatedCapacity(), 8u);
    a.insertAt(0, 0);  // full: a block of 2 x 8
    EXPECT_EQ(a.allocatedCapacity(), 16u);
    a.insertAt(100, 4);  // room: elements from 4 move up
    ASSERT_EQ(a.length(), 10u);
    const int expected[] = {0, 1, 2, 3, 100, 4, 5, 6, 7, 8};
    for (size_t i = 0; i < 10; i++) {
        EXPECT_EQ(a.at(i), expected[i]) << i;
    }
    a.append(9);
    EXPECT_EQ(a.at(10), 9);
}

// An array over elements it does not own (a fetched row) copies them before it changes.
TEST(DbArray, NonOwnedElementsAreCopiedOnInsert) {
    int stored[3] = {10, 20, 30};
    dbArray<int> a;
    a.refer(stored, 3);
    EXPECT_FALSE(a.ownsElements());
    a.insertAt(15, 1);
    EXPECT_TRUE(a.ownsElements());
    EXPECT_EQ(a.allocatedCapacity(), 6u);
    EXPECT_EQ(stored[1], 20) << "the referred elements were written";
    const int expected[] = {10, 15, 20, 30};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(a.at(i), expected[i]);
    }
    dbArray<int> copy = a;
    copy.at(0) = -1;
    EXPECT_EQ(a.at(0), 10) << "a copy shares elements";
    copy.remove(0);
    EXPECT_EQ(copy.length(), 3u);
    EXPECT_EQ(copy.at(0), 15);
}

TEST(DbArrayDeathTest, InsertBeyondTheLengthStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dbArray<int> a;
    a.append(1);
    EXPECT_DEATH(a.insertAt(7, 2), "Assertion failed: index <= len, file engine286/array.h, line");
}

// Local time is the process's time zone: each case runs in a fixed zone.
struct TimeZone {
    explicit TimeZone(const char* tz) {
        const char* old = getenv("TZ");
        saved = old != nullptr ? old : "";
        hadOld = old != nullptr;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (hadOld) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    std::string saved;
    bool hadOld;
};

TEST(DbDateTime, DefaultIsAllBitsSet) {
    dbDateTime d;
    EXPECT_EQ(d.stamp, -1);
    EXPECT_FALSE(d.isValid());
    EXPECT_EQ(sizeof(dbDateTime), 4u);
}

TEST(DbDateTime, CalendarFieldsInLocalTime) {
    struct Case {
        const char* tz;
        int32_t expectedStamp;  // 2005-03-01 00:00:00 local
    } cases[] = {{"UTC0", 1109635200},
                 {"CST-8", 1109635200 - 8 * 3600},
                 {"EST5EDT,M3.2.0,M11.1.0", 1109635200 + 5 * 3600}};
    for (const Case& c : cases) {
        TimeZone zone(c.tz);
        dbDateTime d(2005, 3, 1, 0, 0, 0);
        EXPECT_EQ(d.stamp, c.expectedStamp) << c.tz;
        EXPECT_EQ(d.year(), 2005) << c.tz;
        EXPECT_EQ(d.month(), 3) << c.tz;
        EXPECT_EQ(d.day(), 1) << c.tz;
        EXPECT_EQ(d.hour(), 0) << c.tz;
        EXPECT_EQ(d.dayOfWeek(), 3) << "2005-03-01 was a Tuesday";
        EXPECT_EQ(d.dayOfYear(), 60) << c.tz;
    }
}

TEST(DbDateTime, SummerTimeIsLeftToTheLibraryAndYearsMayCountFrom1900) {
    TimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    dbDateTime summer(2005, 7, 1, 12, 30, 15);
    EXPECT_EQ(summer.stamp, 1120235415) << "12:30:15 EDT is 16:30:15 UTC";
    EXPECT_EQ(summer.hour(), 12);
    EXPECT_EQ(summer.minute(), 30);
    EXPECT_EQ(summer.second(), 15);
    EXPECT_EQ(dbDateTime(105, 7, 1, 12, 30, 15).stamp, summer.stamp);
    // 1900 itself counts from 1900 (year 3800): beyond 32-bit seconds, so no date rather than
    // a truncated one; the same for a full year past 2038.
    EXPECT_EQ(dbDateTime(1900, 1, 1).stamp, -1);
    EXPECT_EQ(dbDateTime(2040, 1, 1).stamp, -1);
    EXPECT_EQ(dbDateTime(2038, 1, 1).year(), 2038);
}

TEST(DbDateTime, OrderedBySeconds) {
    dbDateTime earliest(int64_t(INT32_MIN)), latest(int64_t(INT32_MAX)), none;
    EXPECT_TRUE(earliest < latest) << "the difference must not overflow";
    EXPECT_TRUE(none < dbDateTime(int64_t(0)));
    EXPECT_TRUE(dbDateTime(int64_t(5)) == dbDateTime(int64_t(5)));
    EXPECT_TRUE(latest >= earliest);
    EXPECT_EQ(dbDateTime(int64_t(1000)).asSeconds(), 1000);
}

TEST(KestdbBuffer, ALongTextGoesToANewBlockSizedForIt) {
    kestdbBuffer pool;
    const std::string text(600, 'a');
    const char* copy = pool.add(text.c_str());
    EXPECT_EQ(copy, pool.firstBlock()->next->chars);
    EXPECT_EQ(pool.firstBlock()->next->capacity, 602u);
    EXPECT_EQ(std::string(copy), text);
    pool.reset();
    EXPECT_EQ(pool.add("short"), pool.firstBlock()->chars) << "reset must reuse the first block";
    // The 602-character block is reused too once the first one is full.
    const std::string fill(500, 'b');
    pool.add(fill.c_str());
    const char* spill = pool.add(std::string(100, 'c').c_str());
    EXPECT_EQ(spill, pool.firstBlock()->next->chars);
}

TEST(KestdbBuffer, EmptyTextsShareOneStringAndCopiesStayIntact) {
    kestdbBuffer pool;
    const char* e1 = pool.add(nullptr);
    const char* e2 = pool.add("");
    EXPECT_EQ(e1, e2);
    EXPECT_STREQ(e1, "");

    std::vector<std::pair<const char*, std::string>> copies;
    size_t bytes = 0;
    for (int i = 0; i < 1000; i++) {
        std::string s = "customer-" + std::to_string(i) + std::string(size_t(i % 700), 'z');
        copies.emplace_back(pool.add(s.c_str()), s);
        bytes += s.size() + 1;
    }
    for (const auto& [p, s] : copies) {
        ASSERT_EQ(std::string(p), s);
    }
    // The pool holds its texts in memory proportional to them (not to their count squared).
    size_t allocated = 0;
    for (const kestdbBuffer::KestBlock* b = pool.firstBlock(); b != nullptr; b = b->next) {
        allocated += b->capacity;
    }
    EXPECT_LE(allocated, 3 * bytes + 1024);
    kestdbBuffer fresh;
    const char* a = fresh.add("ab");
    const char* b = fresh.add("cd");
    EXPECT_EQ(a, fresh.firstBlock()->chars);
    EXPECT_EQ(b, a + 3) << "copies are packed one after another";
    EXPECT_EQ(fresh.fillOffset(), 6u);
}

}  // namespace
