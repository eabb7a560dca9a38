// The three ways every window talks to the user: a warning, a yes/no question and a one-line
// input. Each call builds its form on demand, shows it modally over `owner` (through
// execModal, or answers it from an installed DialogScript) and destroys it before returning;
// nothing is kept between calls.
#pragma once

#include <QString>

class QWidget;

namespace kest {

// Tells the user `text`; returns when the dialog is closed in any way.
void showWarning(const QString& text, QWidget* owner);

// Asks `question`; true only when the user chose Yes (F4, Y or the Yes button).
bool confirmYesNo(const QString& question, QWidget* owner);

// Asks for one line of text. `text` pre-fills the field, except the exact word "UpperCase",
// which opens an empty field that stores every letter in upper case. Returns true when the
// user confirmed a non-blank text; `text` then holds it exactly as typed (not trimmed). On
// false `text` is left unchanged.
bool inputString(const QString& prompt, QString& text, QWidget* owner);

}  // namespace kest

using kest::confirmYesNo;
using kest::inputString;
using kest::showWarning;
