#include "app/ApplicationFont.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>

namespace {
const char* const WineFontFiles[] = {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"};
} // namespace

QString ApplicationFont::install() {
    for (const char* path : WineFontFiles) {
        const QString file = QString::fromLatin1(path);
        if (QFile::exists(file))
            QFontDatabase::addApplicationFont(file);
    }
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Nimbus Sans"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Helvetica"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(PixelSize);
    font.setWeight(QFont::Normal);
    QApplication::setFont(font);
    return QFontInfo(font).family();
}
