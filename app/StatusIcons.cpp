#include "app/StatusIcons.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <mutex>

// The resources live in a static library; without an explicit reference the linker would drop them.
static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace StatusIcons {
namespace {

QString baseName(HostStatus status) {
    switch (status) {
    case HostStatus::Bad:
        return QStringLiteral("MAINICONR");
    case HostStatus::Average:
        return QStringLiteral("MAINICONY");
    case HostStatus::Good:
        return QStringLiteral("MAINICONG");
    case HostStatus::NA:
        break;
    }
    return QStringLiteral("MAINICON");
}

QPixmap render(const QString& name, int size) {
    static std::once_flag once;
    std::call_once(once, initIconResources);
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (renderer.isValid()) {
        QPainter painter(&image);
        renderer.render(&painter);
    }
    return QPixmap::fromImage(image);
}

// Each size is rendered once from the drawing meant for it: the 16 px drawing keeps its lamps on whole
// pixels, the 32 px one carries the detail; the 2x sizes come from the same drawings.
QIcon build(HostStatus status, bool smallIcon) {
    QIcon icon;
    icon.addPixmap(render(smallName(status), 16));
    if (smallIcon) {
        icon.addPixmap(render(smallName(status), 32));
    } else {
        icon.addPixmap(render(largeName(status), 32));
        icon.addPixmap(render(largeName(status), 64));
    }
    return icon;
}

} // namespace

QString largeName(HostStatus status) {
    return baseName(status);
}

QString smallName(HostStatus status) {
    return baseName(status) + QStringLiteral("SMALL");
}

QIcon large(HostStatus status) {
    return build(status, false);
}

QIcon small(HostStatus status) {
    return build(status, true);
}

} // namespace StatusIcons
