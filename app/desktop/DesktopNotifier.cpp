#include "app/desktop/DesktopNotifier.h"

#include <algorithm>
#include <cstdio>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QImage>
#include <QPixmap>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include "app/common/StatusIcons.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// A service that takes longer than this to answer is treated as absent, so a queued request goes out.
constexpr int kCallTimeoutMs = 5000;
// At exit the closing calls wait at most this long for the service, so that the program still ends at once.
constexpr int kExitTimeoutMs = 250;
// A summary names this many hosts, then says how many more.
constexpr qsizetype kSummaryNames = 12;
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
    clock_.start();
}

DesktopNotifier::~DesktopNotifier() {
    // What the user still sees would outlive the program and speak for hosts nobody watches any more. The
    // calls go out together and each waits a short while, so the exit is not held up by a slow service.
    if (connection_ && connection_->isConnected()) {
        // A notification still on its way is closed too once the service has said which it is; the answer
        // comes on the bus's own thread, so no event loop is needed to see it.
        const QDeadlineTimer deadline(kExitTimeoutMs);
        for (auto& [key, slot] : slots_) {
            if (!slot.waiting || !slot.pending)
                continue;
            while (!slot.pending->isFinished() && !deadline.hasExpired())
                QThread::msleep(2);
            const QDBusPendingReply<uint> reply = *slot.pending;
            if (slot.pending->isFinished() && !reply.isError())
                slot.id = reply.value();
        }
        std::vector<QDBusPendingCall> closing;
        for (auto& [key, slot] : slots_) {
            if (slot.id == 0)
                continue;
            QDBusMessage call =
                QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
            call << slot.id;
            closing.push_back(connection_->asyncCall(call, kExitTimeoutMs));
        }
        for (QDBusPendingCall& call : closing)
            call.waitForFinished();
    }
    connection_.reset();
    if (!connectionName_.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName_);
}

QString DesktopNotifier::summary(const QString& host, HostStatus status) {
    return QStringLiteral("%1 is %2").arg(host, QString::fromUtf8(statusWord(status)));
}

uint DesktopNotifier::shownId(const QString& host) const {
    const auto it = slots_.find(host);
    return it == slots_.end() || it->second.closeWhenAnswered ? 0 : it->second.id;
}

void DesktopNotifier::notify(const QString& host, HostStatus status, const QString& body) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, host, status, body] { notify(host, status, body); }, Qt::QueuedConnection);
        return;
    }
    const qint64 now = clock_.elapsed();
    while (!recent_.empty() && now - recent_.front().atMs > kBurstMs)
        recent_.pop_front();
    std::erase_if(recent_, [&host](const Change& c) { return c.host == host; });
    recent_.push_back({now, host, status});

    if (now <= burstUntilMs_ || recent_.size() > static_cast<std::size_t>(kBurstHosts)) {
        // A burst: everything that changed in it is told by the summary, in place of the hosts' own.
        if (now > burstUntilMs_)
            summarized_.clear();
        for (const Change& change : recent_) {
            const auto it = std::find_if(summarized_.begin(), summarized_.end(),
                                         [&change](const auto& entry) { return entry.first == change.host; });
            if (it == summarized_.end())
                summarized_.emplace_back(change.host, change.status);
            else
                it->second = change.status;
            if (const auto own = slots_.find(change.host); own != slots_.end())
                close(own->second);
        }
        burstUntilMs_ = now + kBurstMs;
        showSummary();
        return;
    }
    leaveSummary(host);
    send(host, {summary(host, status), body, status});
}

void DesktopNotifier::amend(const QString& host, HostStatus status, const QString& body) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, host, status, body] { amend(host, status, body); }, Qt::QueuedConnection);
        return;
    }
    const auto it = slots_.find(host);
    if (it == slots_.end() || it->second.closeWhenAnswered || (it->second.id == 0 && !it->second.waiting))
        return;
    send(host, {summary(host, status), body, status});
}

void DesktopNotifier::withdraw(const QString& host) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, host] { withdraw(host); }, Qt::QueuedConnection);
        return;
    }
    if (const auto it = slots_.find(host); it != slots_.end())
        close(it->second);
    // Its edge is no longer news: it neither starts a burst nor joins one.
    std::erase_if(recent_, [&host](const Change& c) { return c.host == host; });
    leaveSummary(host);
}

void DesktopNotifier::leaveSummary(const QString& host) {
    const auto it = std::find_if(summarized_.begin(), summarized_.end(),
                                 [&host](const auto& entry) { return entry.first == host; });
    if (it == summarized_.end())
        return;
    summarized_.erase(it);
    if (summarized_.empty())
        close(slots_[QString()]);
    else
        showSummary();
}

// "11 hosts are Bad" with their names, or "4 hosts are Bad, 2 are Good" with the names under each status.
void DesktopNotifier::showSummary() {
    std::vector<HostStatus> order; // worst first
    for (const auto& entry : summarized_)
        if (std::find(order.begin(), order.end(), entry.second) == order.end())
            order.push_back(entry.second);
    std::stable_sort(order.begin(), order.end(), [](HostStatus a, HostStatus b) { return severity(a) > severity(b); });
    QStringList counts;
    QStringList lines;
    for (const HostStatus status : order) {
        QStringList names;
        for (const auto& [host, hostStatus] : summarized_)
            if (hostStatus == status)
                names << host;
        const QString word = QString::fromUtf8(statusWord(status));
        if (counts.isEmpty())
            counts << (names.size() == 1 ? QStringLiteral("1 host is %1").arg(word)
                                         : QStringLiteral("%1 hosts are %2").arg(names.size()).arg(word));
        else
            counts << QStringLiteral("%1 %2 %3")
                          .arg(names.size())
                          .arg(names.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"), word);
        const qsizetype more = names.size() - kSummaryNames;
        if (more > 0) {
            names.resize(kSummaryNames);
            names << QStringLiteral("and %1 more").arg(more);
        }
        lines << (order.size() == 1 ? names.join(QStringLiteral(", "))
                                    : word + QStringLiteral(": ") + names.join(QStringLiteral(", ")));
    }
    send(QString(), {counts.join(QStringLiteral(", ")), lines.join(QLatin1Char('\n')), order.front()});
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

void DesktopNotifier::send(const QString& key, const Message& message) {
    Slot& slot = slots_[key];
    slot.closeWhenAnswered = false;
    if (slot.waiting) {
        // Sent now it would carry a stale id and stack beside the one still on its way.
        slot.queued = message;
        return;
    }
    QDBusConnection& bus = connection();
    if (!bus.isConnected()) {
        const QString why = bus.lastError().message();
        fail(why.isEmpty() ? QStringLiteral("no session bus") : why);
        return;
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.quorvan.Ostrevo"));
    hints.insert(QStringLiteral("image-data"), QVariant::fromValue(statusImage(message.status)));
    // A host that stopped answering is what the user must not miss: servers keep critical ones on screen.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(urgency(message.status)));
    hints.insert(QStringLiteral("category"), QStringLiteral("network"));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Ostrevo") << slot.id << QStringLiteral("ostrevo") << message.title
         << plainBody(message.body) << QStringList() << hints << qint32(-1);
    slot.waiting = true;
    slot.pending = bus.asyncCall(call, kCallTimeoutMs);
    auto* watcher = new QDBusPendingCallWatcher(*slot.pending, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key](QDBusPendingCallWatcher* call) { answered(key, call); });
}

void DesktopNotifier::answered(const QString& key, QDBusPendingCallWatcher* call) {
    call->deleteLater();
    Slot& slot = slots_[key];
    slot.waiting = false;
    slot.pending.reset();
    const QDBusPendingReply<uint> reply = *call;
    if (reply.isError()) {
        fail(reply.error().message());
    } else {
        slot.id = reply.value();
        shownId_ = slot.id;
        Q_EMIT shown(slot.id);
    }
    if (slot.closeWhenAnswered) {
        slot.closeWhenAnswered = false;
        close(slot);
    } else if (slot.queued) {
        const Message next = std::move(*slot.queued);
        slot.queued.reset();
        send(key, next);
    }
}

// Withdraws what the slot shows; one still on its way goes when the service has said which it is.
void DesktopNotifier::close(Slot& slot) {
    slot.queued.reset();
    if (slot.waiting) {
        slot.closeWhenAnswered = true;
        return;
    }
    if (slot.id == 0)
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << slot.id;
    slot.id = 0;
    auto* watcher = new QDBusPendingCallWatcher(connection().asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, &QObject::deleteLater);
}

void DesktopNotifier::fail(const QString& reason) {
    if (!complained_) {
        complained_ = true;
        std::fprintf(stderr, "ostrevo: no desktop notifications: %s\n", qPrintable(reason));
        std::fflush(stderr);
    }
    Q_EMIT failed(reason);
}
