#include "app/desktop/DesktopNotifier.h"

#include <cstdio>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QImage>
#include <QPixmap>
#include <QThread>
#include <QVariantMap>

#include "app/common/StatusIcons.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// A service that takes longer than this to answer is treated as absent, so a queued request goes out.
constexpr int kCallTimeoutMs = 5000;
constexpr int kImageSize = 64;

// The "image-data" hint, (iiibiiay): servers show it whether or not our icons are installed.
struct NotificationImage {
    qint32 width = 0;
    qint32 height = 0;
    qint32 rowStride = 0;
    bool hasAlpha = true;
    qint32 bitsPerSample = 8;
    qint32 channels = 4;
    QByteArray data;
};

} // namespace

Q_DECLARE_METATYPE(NotificationImage)

namespace {

QDBusArgument& operator<<(QDBusArgument& out, const NotificationImage& image) {
    out.beginStructure();
    out << image.width << image.height << image.rowStride << image.hasAlpha << image.bitsPerSample << image.channels
        << image.data;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, NotificationImage& image) {
    in.beginStructure();
    in >> image.width >> image.height >> image.rowStride >> image.hasAlpha >> image.bitsPerSample >> image.channels >>
        image.data;
    in.endStructure();
    return in;
}

NotificationImage statusImage(HostStatus status) {
    const QImage rendered =
        StatusIcons::large(status).pixmap(kImageSize, kImageSize).toImage().convertToFormat(QImage::Format_RGBA8888);
    NotificationImage image;
    image.width = rendered.width();
    image.height = rendered.height();
    image.rowStride = static_cast<qint32>(rendered.bytesPerLine());
    image.data =
        QByteArray(reinterpret_cast<const char*>(rendered.constBits()), static_cast<qsizetype>(rendered.sizeInBytes()));
    return image;
}

// The desktop notification protocol's urgency levels: 0 low, 1 normal, 2 critical, sent as a byte.
uchar urgency(HostStatus status) {
    return status == HostStatus::Bad ? uchar{2} : uchar{1};
}

// Most servers read the body as markup; a reply text is plain.
QString plainBody(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    escaped.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    escaped.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return escaped;
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : DesktopNotifier(QString(), parent) {}

DesktopNotifier::DesktopNotifier(const QString& busAddress, QObject* parent)
    : QObject(parent), busAddress_(busAddress) {
    qDBusRegisterMetaType<NotificationImage>();
}

DesktopNotifier::~DesktopNotifier() {
    connection_.reset();
    if (!connectionName_.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName_);
}

QString DesktopNotifier::summary(const QString& host, HostStatus status) {
    return QStringLiteral("%1 is %2").arg(host, QString::fromUtf8(statusWord(status)));
}

void DesktopNotifier::notify(const QString& host, HostStatus status, const QString& body) {
    Request request{host, status, body};
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, request] { notify(request.host, request.status, request.body); }, Qt::QueuedConnection);
        return;
    }
    if (waiting_) {
        // Sent now it would carry a stale id and stack beside the one still on its way.
        queued_ = std::move(request);
        return;
    }
    send(request);
}

QDBusConnection& DesktopNotifier::connection() {
    if (!connection_) {
        if (busAddress_.isEmpty()) {
            connection_ = QDBusConnection::sessionBus();
        } else {
            connectionName_ = QStringLiteral("ostrevo-notifier-%1").arg(reinterpret_cast<quintptr>(this), 0, 16);
            connection_ = QDBusConnection::connectToBus(busAddress_, connectionName_);
        }
    }
    return *connection_;
}

void DesktopNotifier::send(const Request& request) {
    QDBusConnection& bus = connection();
    if (!bus.isConnected()) {
        const QString why = bus.lastError().message();
        fail(why.isEmpty() ? QStringLiteral("no session bus") : why);
        return;
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.quorvan.Ostrevo"));
    hints.insert(QStringLiteral("image-data"), QVariant::fromValue(statusImage(request.status)));
    // A host that stopped answering is what the user must not miss: servers keep critical ones on screen.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(urgency(request.status)));
    hints.insert(QStringLiteral("category"), QStringLiteral("network"));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Ostrevo") << shownId_ << QStringLiteral("ostrevo") << summary(request.host, request.status)
         << plainBody(request.body) << QStringList() << hints << qint32(-1);
    waiting_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &DesktopNotifier::answered);
}

void DesktopNotifier::answered(QDBusPendingCallWatcher* call) {
    call->deleteLater();
    waiting_ = false;
    const QDBusPendingReply<uint> reply = *call;
    if (reply.isError()) {
        fail(reply.error().message());
    } else {
        shownId_ = reply.value();
        Q_EMIT shown(shownId_);
    }
    if (queued_) {
        const Request next = std::move(*queued_);
        queued_.reset();
        send(next);
    }
}

void DesktopNotifier::fail(const QString& reason) {
    if (!complained_) {
        complained_ = true;
        std::fprintf(stderr, "ostrevo: no desktop notifications: %s\n", qPrintable(reason));
        std::fflush(stderr);
    }
    Q_EMIT failed(reason);
}
