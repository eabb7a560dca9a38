// Date pickers with the yyyy/MM/dd display. See date_pickers.h.
#include "date_pickers.h"

#include "widget_kind.h"

namespace kest {

const QString DatePicker::kFormat = QStringLiteral("yyyy/MM/dd");
const QString DateTimePicker::kFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss");

DatePicker::DatePicker(QWidget* parent) : QDateEdit(parent) {
    setWidgetKind(this, kind::date);
    setDisplayFormat(kFormat);
    setCalendarPopup(true);
    setTimeSpec(Qt::LocalTime);
    setDate(QDate::currentDate());
}

QDateTime DatePicker::dateTime() const {
    return QDateTime(date(), timeOfDay_, Qt::LocalTime);
}

void DatePicker::setDateTime(const QDateTime& dateTime) {
    const QDateTime local = dateTime.toLocalTime();
    timeOfDay_ = local.time();
    setDate(local.date());
}

long long DatePicker::stamp() const {
    return dateTime().toSecsSinceEpoch();
}

void DatePicker::setStamp(long long stamp) {
    setDateTime(QDateTime::fromSecsSinceEpoch(stamp));
}

DateTimePicker::DateTimePicker(QWidget* parent) : QDateTimeEdit(parent) {
    setWidgetKind(this, kind::date);
    setDisplayFormat(kFormat);
    setCalendarPopup(true);
    setTimeSpec(Qt::LocalTime);
    setDateTime(QDateTime::currentDateTime());
}

long long DateTimePicker::stamp() const {
    return dateTime().toSecsSinceEpoch();
}

void DateTimePicker::setStamp(long long stamp) {
    setDateTime(QDateTime::fromSecsSinceEpoch(stamp).toLocalTime());
}

}  // namespace kest
