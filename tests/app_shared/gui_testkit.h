// Small helpers for driving real forms in GUI tests without a modal loop: show a form and make
// it the active window (window-wide shortcuts such as F4 and Esc need that), and run a form
// given to execModal through a function that plays the user.
#pragma once

#include <QDialog>
#include <functional>

#include "modal.h"

namespace kest::testkit {

// Shows `window`, activates it and waits (up to 5 s) until Qt reports it active.
bool showActive(QWidget& window);

// Types `text` into `widget` key by key, as a keyboard (or an input method, for characters
// beyond ASCII) would; QTest::keyClicks handles ASCII only.
void typeText(QWidget* widget, const QString& text);

// A modal handler that shows the dialog, activates it, calls `user` with it and returns the
// dialog's result. A dialog still open after `user` returns is closed with reject(), so the
// caller never hangs; `stillOpen` (when given) counts such dialogs.
kest::ModalHandler playUser(std::function<void(QDialog&)> user, int* stillOpen = nullptr);

}  // namespace kest::testkit
