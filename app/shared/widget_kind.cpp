// Widget kinds for the print preview. See widget_kind.h for the table.
#include "widget_kind.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTableWidget>
#include <QTextEdit>
#include <QVariant>

namespace kest {

void setWidgetKind(QWidget* widget, const char* kind) {
    widget->setProperty(kKindProperty, QString::fromLatin1(kind));
}

QString widgetKind(const QWidget* widget) {
    if (widget == nullptr) {
        return {};
    }
    const QVariant set = widget->property(kKindProperty);
    if (set.isValid()) {
        return set.toString();
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        return QString::fromLatin1(label->pixmap().isNull() ? kind::label : kind::image);
    }
    if (qobject_cast<const QLineEdit*>(widget) != nullptr) {
        return QString::fromLatin1(kind::edit);
    }
    if (qobject_cast<const QComboBox*>(widget) != nullptr) {
        return QString::fromLatin1(kind::combo);
    }
    if (qobject_cast<const QPlainTextEdit*>(widget) != nullptr ||
        qobject_cast<const QTextEdit*>(widget) != nullptr) {
        return QString::fromLatin1(kind::memo);
    }
    if (qobject_cast<const QCheckBox*>(widget) != nullptr) {
        return QString::fromLatin1(kind::check);
    }
    if (qobject_cast<const QRadioButton*>(widget) != nullptr) {
        return QString::fromLatin1(kind::radio);
    }
    if (qobject_cast<const QDateTimeEdit*>(widget) != nullptr) {
        return QString::fromLatin1(kind::date);
    }
    if (qobject_cast<const QTableWidget*>(widget) != nullptr) {
        return QString::fromLatin1(kind::grid);
    }
    if (qobject_cast<const QGroupBox*>(widget) != nullptr) {
        return QString::fromLatin1(kind::group);
    }
    if (const auto* list = qobject_cast<const QListWidget*>(widget)) {
        for (int i = 0; i < list->count(); ++i) {
            if (list->item(i)->flags() & Qt::ItemIsUserCheckable) {
                return QString::fromLatin1(kind::checklist);
            }
        }
        return {};
    }
    // A plain QFrame is a panel (the preview draws its frame only when it has a frame shape);
    // views and other QFrame subclasses are matched above or not printed.
    if (qobject_cast<const QFrame*>(widget) != nullptr &&
        qstrcmp(widget->metaObject()->className(), "QFrame") == 0) {
        return QString::fromLatin1(kind::panel);
    }
    return {};
}

}  // namespace kest
