// The client's one-line edits. LineEdit accepts only text that Big5 (CP950) can hold, can store
// every letter in upper case as it is typed (setUpperCase) and can tint its background while it
// has the focus. UpperCaseEdit is a LineEdit that starts in upper-case mode.
// Invariant: text() never holds a character CP950 lacks, whether typed, pasted or set.
#pragma once

#include <QColor>
#include <QLineEdit>

namespace kest {

class Big5Validator;

class LineEdit : public QLineEdit {
    Q_OBJECT

  public:
    explicit LineEdit(QWidget* parent = nullptr);

    void setUpperCase(bool on);
    bool upperCase() const;

    // Background while focused; an invalid colour (the default) means no tint.
    void setFocusColor(const QColor& color);
    QColor focusColor() const { return focusColor_; }

    // Like QLineEdit::setText, but characters CP950 lacks are dropped and upper-case mode
    // applies.
    void setText(const QString& text);

  protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    Big5Validator* validator_;
    QColor focusColor_;
    QColor normalBase_;
    bool tinted_ = false;
};

class UpperCaseEdit : public LineEdit {
    Q_OBJECT

  public:
    explicit UpperCaseEdit(QWidget* parent = nullptr);
};

}  // namespace kest

using kest::LineEdit;
using kest::UpperCaseEdit;
