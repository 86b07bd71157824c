#include "app/common/ApplicationFont.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>

namespace {
// Only the regular face: Wine's bold Tahoma has hairline stems at 11 pixels and looks regular, while the
// bold that the font engine derives from the regular face reads as bold (the Start button).
const char* const WineTahoma = "/usr/share/wine/fonts/tahoma.ttf";
} // namespace

QFont ApplicationFont::designFont() {
    static const bool loaded = [] {
        const QString file = QString::fromLatin1(WineTahoma);
        return QFile::exists(file) && QFontDatabase::addApplicationFont(file) >= 0;
    }();
    Q_UNUSED(loaded);
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(PixelSize);
    font.setWeight(QFont::Normal);
    return font;
}

QString ApplicationFont::install() {
    const QFont font = designFont();
    QApplication::setFont(font);
    return QFontInfo(font).family();
}
