// Renders a widget (a form, usually) to a PNG file, on any Qt platform including offscreen, for
// the screenshots in docs/screenshots/. The widget is laid out and polished first.
#pragma once

#include <QString>

class QWidget;

namespace kest {

// Returns false when the file cannot be written.
bool renderToPng(QWidget* widget, const QString& path);

}  // namespace kest
