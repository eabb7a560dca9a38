// dbDateTime: a date and time as signed 32-bit seconds since 1970-01-01 00:00:00 UTC, all bits
// set (-1) when no date is set. Calendar fields are read and built in local time through the C
// library (localtime_r, mktime).
//
// Invariant: the structure holds exactly one stored member, `stamp`; every operation is a
// function of it, so a row's bytes and the object agree.
//
// Note for the descriptor code: the structure and its operations live here; its field
// descriptor (the "stamp" member plus the method members) is declared with the other
// descriptors, next to the declaration helpers in class.h, and may include this header.
#pragma once

#include <climits>
#include <cstdint>
#include <ctime>

class dbDateTime {
  public:
    int32_t stamp;

    dbDateTime() : stamp(-1) {}
    explicit dbDateTime(int64_t seconds) : stamp(int32_t(seconds)) {}
    // A year at most 1900 counts from 1900; a larger one is a full year. Months count from 1.
    // Daylight saving is left to the C library. A date that 32-bit seconds cannot hold (or that
    // the library rejects) gives no date (-1) rather than a truncated, wrong one.
    dbDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
        struct tm t = {};
        t.tm_year = year > 1900 ? year - 1900 : year;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        const time_t seconds = mktime(&t);
        stamp = seconds < INT32_MIN || seconds > INT32_MAX ? -1 : int32_t(seconds);
    }

    int32_t asSeconds() const { return stamp; }
    bool isValid() const { return stamp != -1; }

    int year() const { return local().tm_year + 1900; }
    int month() const { return local().tm_mon + 1; }
    int day() const { return local().tm_mday; }
    int hour() const { return local().tm_hour; }
    int minute() const { return local().tm_min; }
    int second() const { return local().tm_sec; }
    // 1 = Sunday ... 7 = Saturday.
    int dayOfWeek() const { return local().tm_wday + 1; }
    // 1 ... 366.
    int dayOfYear() const { return local().tm_yday + 1; }

    // Ordering by the difference of the seconds, taken in 64 bits so it cannot overflow.
    int64_t diff(const dbDateTime& other) const { return int64_t(stamp) - int64_t(other.stamp); }
    bool operator==(const dbDateTime& o) const { return diff(o) == 0; }
    bool operator!=(const dbDateTime& o) const { return diff(o) != 0; }
    bool operator<(const dbDateTime& o) const { return diff(o) < 0; }
    bool operator<=(const dbDateTime& o) const { return diff(o) <= 0; }
    bool operator>(const dbDateTime& o) const { return diff(o) > 0; }
    bool operator>=(const dbDateTime& o) const { return diff(o) >= 0; }

  private:
    struct tm local() const {
        time_t t = stamp;
        struct tm result = {};
        localtime_r(&t, &result);
        return result;
    }
};
