#include "settings/StoredValues.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <sys/stat.h>

#include <memory>
#include <string_view>

namespace {

// "Software\Organisation\Application" names the organisation and application of a QSettings file.
std::unique_ptr<QSettings> openStore(const std::string& keyPath) {
    std::string_view path = keyPath;
    constexpr std::string_view software = "Software\\";
    if (path.substr(0, software.size()) == software)
        path.remove_prefix(software.size());
    std::string_view organisation = path;
    std::string_view application;
    if (auto cut = path.rfind('\\'); cut != std::string_view::npos) {
        organisation = path.substr(0, cut);
        application = path.substr(cut + 1);
    }
    auto store =
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                    QString::fromUtf8(organisation.data(), static_cast<qsizetype>(organisation.size())),
                                    QString::fromUtf8(application.data(), static_cast<qsizetype>(application.size())));
    // QSettings shares parsed files within the process; sync() makes a load see changes made by others.
    store->sync();
    return store;
}

QString valueKey(const std::string& valueName) {
    return QString::fromUtf8(valueName.data(), static_cast<qsizetype>(valueName.size()));
}

std::string toStdString(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

bool isValidUtf8(const std::string& text) {
    QByteArray bytes = QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

std::string readStoredValue(const std::string& keyPath, const std::string& valueName) {
    std::unique_ptr<QSettings> store = openStore(keyPath);
    QVariant value = store->value(valueKey(valueName));
    switch (value.typeId()) {
    case QMetaType::QByteArray: // what writeStoredValue makes of bytes that are not UTF-8
        return toStdString(value.toByteArray());
    case QMetaType::QStringList: // a hand-edited value with unquoted commas
        return toStdString(value.toStringList().join(QLatin1Char(',')).toUtf8());
    default:
        // Anything else a hand-edited file may hold (@Variant(...) of another type) reads as its text form,
        // which is empty for types without one.
        return value.canConvert<QString>() ? toStdString(value.toString().toUtf8()) : std::string();
    }
}

void writeStoredValue(const std::string& keyPath, const std::string& valueName, const std::string& text) {
    std::unique_ptr<QSettings> store = openStore(keyPath);
    if (isValidUtf8(text))
        store->setValue(valueKey(valueName), QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    else
        store->setValue(valueKey(valueName), QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    store->sync();
}

std::string fileVersionString(const std::string& fileName) {
    struct stat self {};
    struct stat named {};
    if (stat("/proc/self/exe", &self) != 0 || stat(fileName.c_str(), &named) != 0 || self.st_dev != named.st_dev ||
        self.st_ino != named.st_ino)
        return "1.0.0.0";
#ifdef OSTREVO_VERSION
    return OSTREVO_VERSION;
#else
    return "1.0.0.0";
#endif
}
