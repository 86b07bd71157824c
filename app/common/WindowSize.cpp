#include "app/common/WindowSize.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScreen>

QSize keptWindowSize(const std::string& kept, QSize fallback, QSize minimum) {
    static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,5})\\s*x\\s*(\\d{1,5})\\s*$"));
    const QRegularExpressionMatch match = form.match(QString::fromStdString(kept));
    QSize size = match.hasMatch() ? QSize(match.captured(1).toInt(), match.captured(2).toInt()) : fallback;
    size = size.expandedTo(minimum);
    if (const QScreen* screen = QApplication::primaryScreen())
        size = size.boundedTo(screen->availableSize());
    return size;
}
