// A desktop notification service for tests: owns org.freedesktop.Notifications on the session bus, answers
// Notify as a notification server would (a new id, or the id it was asked to replace) and appends one JSON
// line per call to the file named on its command line, and the id of each CloseNotification as a line of
// that file's name with ".closed" added. Prints "ready" once the name is owned.
#include <cstdio>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {

const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// The image-data hint as the test needs it: its shape and how much data came with it.
QJsonObject describeImage(const QVariant& value) {
    QJsonObject image;
    if (!value.canConvert<QDBusArgument>())
        return image;
    const auto argument = value.value<QDBusArgument>();
    qint32 width = 0, height = 0, stride = 0, bits = 0, channels = 0;
    bool alpha = false;
    QByteArray data;
    argument.beginStructure();
    argument >> width >> height >> stride >> alpha >> bits >> channels >> data;
    argument.endStructure();
    image[QStringLiteral("width")] = width;
    image[QStringLiteral("height")] = height;
    image[QStringLiteral("stride")] = stride;
    image[QStringLiteral("alpha")] = alpha;
    image[QStringLiteral("bits")] = bits;
    image[QStringLiteral("channels")] = channels;
    image[QStringLiteral("bytes")] = static_cast<qint64>(data.size());
    image[QStringLiteral("data")] = QString::fromLatin1(data.toBase64());
    return image;
}

class Service : public QDBusVirtualObject {
public:
    explicit Service(const QString& recordFile) : record_(recordFile) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != kInterface)
            return false;
        const QString member = message.member();
        if (member == QStringLiteral("GetCapabilities"))
            return connection.send(
                message.createReply(QStringList{QStringLiteral("body"), QStringLiteral("body-markup")}));
        if (member == QStringLiteral("GetServerInformation"))
            return connection.send(
                message.createReply(QVariantList{QStringLiteral("recorder"), QStringLiteral("Ostrevo tests"),
                                                 QStringLiteral("1"), QStringLiteral("1.2")}));
        if (member == QStringLiteral("CloseNotification")) {
            // As a server does: a closed id is gone, and asking to replace it shows a new one.
            const uint id = message.arguments().value(0).toUInt();
            shown_.remove(id);
            QFile out(record_ + QStringLiteral(".closed"));
            if (out.open(QIODevice::WriteOnly | QIODevice::Append))
                out.write(QByteArray::number(id) + '\n');
            return connection.send(message.createReply());
        }
        if (member != QStringLiteral("Notify") || message.signature() != QStringLiteral("susssasa{sv}i"))
            return connection.send(message.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("bad call")));

        const QVariantList args = message.arguments();
        const uint replaces = args.at(1).toUInt();
        const uint id = replaces != 0 && shown_.contains(replaces) ? replaces : ++lastId_;
        shown_.insert(id);

        QJsonObject call;
        call[QStringLiteral("app_name")] = args.at(0).toString();
        call[QStringLiteral("replaces_id")] = static_cast<qint64>(replaces);
        call[QStringLiteral("app_icon")] = args.at(2).toString();
        call[QStringLiteral("summary")] = args.at(3).toString();
        call[QStringLiteral("body")] = args.at(4).toString();
        call[QStringLiteral("actions")] = QJsonArray::fromStringList(args.at(5).toStringList());
        QJsonObject hints;
        QJsonObject hintTypes; // servers ignore a hint of the wrong type (urgency must be a byte)
        const auto hintMap = qdbus_cast<QVariantMap>(args.at(6));
        for (auto it = hintMap.cbegin(); it != hintMap.cend(); ++it) {
            hintTypes[it.key()] = QString::fromLatin1(it.value().metaType().name());
            if (it.key() == QStringLiteral("image-data"))
                hints[it.key()] = describeImage(it.value());
            else if (it.value().metaType().id() == QMetaType::UChar) // JSON knows no bytes
                hints[it.key()] = it.value().toInt();
            else
                hints[it.key()] = QJsonValue::fromVariant(it.value());
        }
        call[QStringLiteral("hints")] = hints;
        call[QStringLiteral("hint_types")] = hintTypes;
        call[QStringLiteral("expire_timeout")] = args.at(7).toInt();
        call[QStringLiteral("id")] = static_cast<qint64>(id);

        QFile out(record_);
        if (out.open(QIODevice::WriteOnly | QIODevice::Append)) {
            out.write(QJsonDocument(call).toJson(QJsonDocument::Compact) + '\n');
            out.close();
        }
        return connection.send(message.createReply(QVariant::fromValue(id)));
    }

private:
    QString record_;
    uint lastId_ = 0;
    QSet<uint> shown_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RECORD-FILE\n", argv[0]);
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    Service service(QString::fromLocal8Bit(argv[1]));
    if (!bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &service) ||
        !bus.registerService(kInterface)) {
        std::fprintf(stderr, "notification_recorder: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
