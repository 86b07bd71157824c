// A notification-area host for tests, on the session bus: owns org.kde.StatusNotifierWatcher, says a host is
// there, and notes in the file named on its command line the bus name and path of the last item that
// registered. Prints "ready" once the name is owned.
//
// Run with "--query FILE" instead, it reads that item's tooltip and icon and prints them as one JSON line:
// {"tip": "...", "lamp": "bad" | "average" | "good" | "dark"}, the lamp judged from the icon's pixels.
#include <algorithm>
#include <cstdio>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QStringList>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItem = QStringLiteral("org.kde.StatusNotifierItem");

class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit Watcher(QString record) : record_(std::move(record)) {}
    [[nodiscard]] QStringList items() const { return items_; }
    [[nodiscard]] bool hostRegistered() const { return true; }
    [[nodiscard]] int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        // An item names either its bus name (at the usual path) or its path (on the caller's connection).
        const bool isPath = service.startsWith(QLatin1Char('/'));
        const QString name = isPath ? message.service() : service;
        const QString path = isPath ? service : QStringLiteral("/StatusNotifierItem");
        items_ << name + path;
        QFile out(record_);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write((name + QLatin1Char(' ') + path).toUtf8());
        Q_EMIT StatusNotifierItemRegistered(name + path);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private:
    QString record_;
    QStringList items_;
};

struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray argb; // network byte order
};

Pixmap largest(const QDBusArgument& pixmaps) {
    Pixmap best;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        Pixmap p;
        pixmaps.beginStructure();
        pixmaps >> p.width >> p.height >> p.argb;
        pixmaps.endStructure();
        if (p.width * p.height > best.width * best.height)
            best = p;
    }
    pixmaps.endArray();
    return best;
}

// The lit lamp: the colour that most strongly saturated, bright pixels have.
QString lamp(const Pixmap& p) {
    int red = 0, yellow = 0, green = 0;
    for (int i = 0; i + 3 < p.argb.size(); i += 4) {
        const int a = static_cast<unsigned char>(p.argb[i]);
        const int r = static_cast<unsigned char>(p.argb[i + 1]);
        const int g = static_cast<unsigned char>(p.argb[i + 2]);
        const int b = static_cast<unsigned char>(p.argb[i + 3]);
        if (a < 128)
            continue;
        if (r > 190 && g > 150 && b < 110)
            ++yellow;
        else if (r > 190 && g < 120 && b < 120)
            ++red;
        else if (g > 150 && r < 140 && b < 160)
            ++green;
    }
    const int most = std::max({red, yellow, green});
    if (most < 3)
        return QStringLiteral("dark");
    return most == red ? QStringLiteral("bad") : most == yellow ? QStringLiteral("average") : QStringLiteral("good");
}

QVariant property(QDBusConnection& bus, const QString& name, const QString& path, const QString& key) {
    QDBusMessage get = QDBusMessage::createMethodCall(name, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kItem << key;
    const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().front().value<QDBusVariant>().variant();
}

int query(const QString& recordFile) {
    QFile in(recordFile);
    if (!in.open(QIODevice::ReadOnly))
        return 1;
    const QStringList item = QString::fromUtf8(in.readAll()).split(QLatin1Char(' '));
    if (item.size() != 2)
        return 1;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QJsonObject out;
    const QVariant tip = property(bus, item[0], item[1], QStringLiteral("ToolTip"));
    if (tip.canConvert<QDBusArgument>()) {
        const auto argument = tip.value<QDBusArgument>();
        QString icon, title, text;
        argument.beginStructure();
        argument >> icon;
        (void)largest(argument);
        argument >> title >> text;
        argument.endStructure();
        out[QStringLiteral("tip")] = text.isEmpty() ? title : title + QLatin1Char('\n') + text;
    }
    const QVariant icon = property(bus, item[0], item[1], QStringLiteral("IconPixmap"));
    if (icon.canConvert<QDBusArgument>())
        out[QStringLiteral("lamp")] = lamp(largest(icon.value<QDBusArgument>()));
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--query")
        return query(QString::fromLocal8Bit(argv[2]));
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RECORD-FILE | --query RECORD-FILE\n", argv[0]);
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher(QString::fromLocal8Bit(argv[1]));
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService(kWatcher)) {
        std::fprintf(stderr, "tray_watcher: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "tray_watcher.moc"
