// Renders a widget (a form, usually) to a PNG file, on any Qt platform including offscreen, for
// the screenshots in docs/screenshots/. The widget is laid out and polished first.
#pragma once

#include <QString>

class QWidget;

namespace kest {

// The widget's client area alone. Returns false when the file cannot be written.
bool renderToPng(QWidget* widget, const QString& path);

// The widget as a window: a plain frame and a title bar with the window title drawn around its
// client area (the offscreen platform has no window manager to draw one).
bool renderWindowToPng(QWidget* widget, const QString& path);

}  // namespace kest
