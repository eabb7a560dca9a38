// The default expiry filter: yesterday one month back at 00:00:00 to today at 23:59:59, with
// month-end days rolling over as the C library's calendar normalisation does.
#include <gtest/gtest.h>

#include "expiry_range.h"

namespace {

struct RangeCase {
    QDate today;
    QDate from;
};

class DefaultExpiryRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(DefaultExpiryRange, StartsOneMonthBeforeYesterday) {
    const ExpiryRange r = defaultExpiryRange(GetParam().today);
    EXPECT_EQ(r.from, QDateTime(GetParam().from, QTime(0, 0, 0)));
    EXPECT_EQ(r.to, QDateTime(GetParam().today, QTime(23, 59, 59)));
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, DefaultExpiryRange,
    ::testing::Values(
        RangeCase{QDate(2016, 9, 15), QDate(2016, 8, 14)},
        // Yesterday 30 March, one month back is 30 February: 1 March in a leap year ...
        RangeCase{QDate(2016, 3, 31), QDate(2016, 3, 1)},
        // ... and 2 March otherwise.
        RangeCase{QDate(2015, 3, 31), QDate(2015, 3, 2)},
        // In January the month before is December of the previous year.
        RangeCase{QDate(2016, 1, 20), QDate(2015, 12, 19)},
        // On the first of a month yesterday is already in the previous month.
        RangeCase{QDate(2016, 3, 1), QDate(2016, 1, 29)},
        // 31 December one month back is 31 November, which is 1 December.
        RangeCase{QDate(2016, 1, 1), QDate(2015, 12, 1)}));

}  // namespace
