// defaultExpiryRange with mktime's normalisation, so month-end days roll over as users of the
// list have always seen them.
#include "expiry_range.h"

#include <ctime>

ExpiryRange defaultExpiryRange(const QDate& today) {
    std::tm day{};
    day.tm_year = today.year() - 1900;
    day.tm_mon = today.month() - 1;
    day.tm_mday = today.day() - 1;  // yesterday first ...
    day.tm_hour = 12;               // (noon: no daylight-saving change can move the date)
    day.tm_isdst = -1;
    std::mktime(&day);
    day.tm_mon -= 1;  // ... then one calendar month back
    day.tm_isdst = -1;
    std::mktime(&day);

    ExpiryRange range;
    range.from = QDateTime(QDate(day.tm_year + 1900, day.tm_mon + 1, day.tm_mday), QTime(0, 0, 0));
    range.to = QDateTime(today, QTime(23, 59, 59));
    return range;
}
