#include "app/common/StatusIcons.h"

#include <QImageReader>
#include <QPixmap>

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

// The drawings come rendered at each size they are shown at, from the build.
QPixmap rendered(const QString& name, int size) {
    static std::once_flag once;
    std::call_once(once, initIconResources);
    // Named as PNG outright: a reader left to guess asks every image plug-in installed, loading each.
    QImageReader reader(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size), "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

// The 16 px drawing keeps its lamps on whole pixels, the 32 px one carries the detail; each at 1x and 2x.
QIcon build(HostStatus status, bool smallIcon) {
    QIcon icon;
    icon.addPixmap(rendered(smallName(status), 16));
    if (smallIcon) {
        icon.addPixmap(rendered(smallName(status), 32));
    } else {
        icon.addPixmap(rendered(largeName(status), 32));
        icon.addPixmap(rendered(largeName(status), 64));
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
