// The client's date pickers. DatePicker shows yyyy/MM/dd with a calendar pop-up and keeps a
// time of day besides the date (the expiry filter holds 00:00:00 and 23:59:59 that way);
// DateTimePicker shows and edits yyyy/MM/dd HH:mm:ss. Both give the date as a stamp: seconds
// since 1970-01-01 UTC of the local time they hold.
// Invariant: dateTime() is always date() at the kept time of day, in local time.
#pragma once

#include <QDateEdit>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QTime>

namespace kest {

class DatePicker : public QDateEdit {
    Q_OBJECT

  public:
    explicit DatePicker(QWidget* parent = nullptr);

    // The date with the kept time of day (00:00:00 unless set). These hide QDateTimeEdit's
    // dateTime()/setDateTime(): call them through a DatePicker, not a QDateEdit pointer.
    QDateTime dateTime() const;
    // Sets the date and keeps the time of day.
    void setDateTime(const QDateTime& dateTime);
    QTime timeOfDay() const { return timeOfDay_; }
    void setTimeOfDay(const QTime& time) { timeOfDay_ = time; }

    long long stamp() const;  // seconds since 1970 (local time of dateTime())
    void setStamp(long long stamp);

    static const QString kFormat;  // "yyyy/MM/dd"

  private:
    QTime timeOfDay_{0, 0, 0};
};

class DateTimePicker : public QDateTimeEdit {
    Q_OBJECT

  public:
    explicit DateTimePicker(QWidget* parent = nullptr);

    long long stamp() const;
    void setStamp(long long stamp);

    static const QString kFormat;  // "yyyy/MM/dd HH:mm:ss"
};

}  // namespace kest

using kest::DatePicker;
using kest::DateTimePicker;
