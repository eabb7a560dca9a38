// One-line edits with the Big5 guard, upper-case mode and focus tint. See line_edit.h.
#include "line_edit.h"

#include <QFocusEvent>
#include <QPalette>

#include "big5_validator.h"
#include "widget_kind.h"

namespace kest {

LineEdit::LineEdit(QWidget* parent) : QLineEdit(parent), validator_(new Big5Validator(this)) {
    setValidator(validator_);
    guardBig5(this);
    setWidgetKind(this, kind::edit);
}

void LineEdit::setUpperCase(bool on) {
    validator_->setUpperCase(on);
    if (on) {
        QLineEdit::setText(text().toUpper());
    }
}

bool LineEdit::upperCase() const {
    return validator_->upperCase();
}

void LineEdit::setFocusColor(const QColor& color) {
    focusColor_ = color;
    if (tinted_) {
        QPalette p = palette();
        p.setColor(QPalette::Base, focusColor_.isValid() ? focusColor_ : normalBase_);
        setPalette(p);
    }
}

void LineEdit::setText(const QString& text) {
    QString clean = dropNonBig5(text);
    if (upperCase()) {
        clean = clean.toUpper();
    }
    QLineEdit::setText(clean);
}

void LineEdit::focusInEvent(QFocusEvent* event) {
    // Focus-in can arrive twice (focus set, then the window activated): keep the first base.
    if (focusColor_.isValid() && !tinted_) {
        normalBase_ = palette().color(QPalette::Base);
        tinted_ = true;
        QPalette p = palette();
        p.setColor(QPalette::Base, focusColor_);
        setPalette(p);
    }
    QLineEdit::focusInEvent(event);
}

void LineEdit::focusOutEvent(QFocusEvent* event) {
    if (tinted_) {
        tinted_ = false;
        QPalette p = palette();
        p.setColor(QPalette::Base, normalBase_);
        setPalette(p);
    }
    QLineEdit::focusOutEvent(event);
}

UpperCaseEdit::UpperCaseEdit(QWidget* parent) : LineEdit(parent) {
    setUpperCase(true);
}

}  // namespace kest
