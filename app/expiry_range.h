// The customer list's default expiry filter: from one month before yesterday, 00:00:00, to
// today, 23:59:59, in local time. A day the earlier month lacks rolls over into the next
// month the way the C library normalises calendar time (30 March → 30 February → 2 March).
#pragma once

#include <QDate>
#include <QDateTime>

struct ExpiryRange {
    QDateTime from;
    QDateTime to;
};

ExpiryRange defaultExpiryRange(const QDate& today);
