// The client's fonts. The forms name the face "新細明體"; on Linux it is AR PL UMing, found
// through the fontconfig alias of fonts/kestcrm-fonts.conf (built into the program as a Qt
// resource, so it travels with it) and also through Qt's family substitution.
// Invariant: after applyClientFont a QFont("新細明體") renders Traditional Chinese glyphs.
#pragma once

#include <QFont>
#include <QString>

class QApplication;

namespace kest {

inline constexpr char kClientFace[] = "新細明體";

// Loads the alias, adds the substitution and makes "新細明體" 9 pt the application font.
// Call once, right after the QApplication is constructed. Returns false when the fontconfig
// file could not be loaded (the substitution still applies).
bool applyClientFont(QApplication& app);

// "新細明體" at `pixelHeight` pixels, bold or not.
QFont clientFont(int pixelHeight, bool bold = false);

// The Qt resource path of the fontconfig alias file.
QString fontConfigPath();
// The face "新細明體" resolves to in Qt on this machine (for checks and diagnostics).
QString resolvedClientFamily();
// The family fontconfig itself matches for `family` (its aliases applied).
QString fontconfigMatch(const QString& family);

}  // namespace kest

using kest::applyClientFont;
