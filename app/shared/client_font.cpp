// The "新細明體" face on Linux: fontconfig alias from the built-in resource, plus Qt's family
// substitution. See client_font.h.
#include "client_font.h"

#include <fontconfig/fontconfig.h>

#include <QApplication>
#include <QFile>
#include <QFontInfo>

namespace kest {

namespace {
const char* const kUmingFamilies[] = {"AR PL UMing TW", "AR PL UMing HK", "AR PL UMing CN"};
const char* const kMingFaces[] = {"新細明體", "PMingLiU", "細明體", "MingLiU"};

bool loadFontconfigAlias() {
    QFile file(fontConfigPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray xml = file.readAll();
    FcConfig* config = FcConfigGetCurrent();
    if (config == nullptr) {
        return false;
    }
    return FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(xml.constData()),
                                          FcTrue) == FcTrue;
}
}  // namespace

QString fontConfigPath() {
    return QStringLiteral(":/kestcrm/fonts/kestcrm-fonts.conf");
}

bool applyClientFont(QApplication& app) {
    const bool loaded = loadFontconfigAlias();
    QStringList uming;
    for (const char* family : kUmingFamilies) {
        uming << QString::fromUtf8(family);
    }
    for (const char* face : kMingFaces) {
        QFont::insertSubstitutions(QString::fromUtf8(face), uming);
    }
    QFont font(QString::fromUtf8(kClientFace));
    font.setPointSize(10);
    app.setFont(font);
    return loaded;
}

QFont clientFont(int pixelHeight, bool bold) {
    QFont font(QString::fromUtf8(kClientFace));
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

QString resolvedClientFamily() {
    return QFontInfo(clientFont(16)).family();
}

QString fontconfigMatch(const QString& family) {
    const QByteArray name = family.toUtf8();
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.constData()));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    QString found;
    FcChar8* matched = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FAMILY, 0, &matched) == FcResultMatch) {
        found = QString::fromUtf8(reinterpret_cast<const char*>(matched));
    }
    if (match != nullptr) {
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return found;
}

}  // namespace kest
