#include "app/common/HistoryFormat.h"

#include <algorithm>

#include <QDateTime>

namespace HistoryFormat {

QString milliseconds(std::int64_t us) {
    const double ms = static_cast<double>(us) / 1000.0;
    const int decimals = us < 1'000 ? 3 : us < 10'000 ? 2 : us < 100'000 ? 1 : 0;
    return QString::number(ms, 'f', decimals) + QStringLiteral(" ms");
}

QString duration(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(ms, 0) / 1000;
    auto two = [](std::int64_t n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(two(s % 60));
    if (s < 86400)
        return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(two(s % 3600 / 60));
    return QStringLiteral("%1 d %2 h").arg(s / 86400).arg(two(s % 86400 / 3600));
}

QString dateTime(std::int64_t atMs) {
    return QDateTime::fromMSecsSinceEpoch(atMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString availability(std::uint64_t sent, std::uint64_t lost) {
    if (sent == 0)
        return QStringLiteral("-");
    // Whole hundredths of a percent in integers: a float product can land just under a round figure.
    const std::uint64_t hundredths = (sent - std::min(lost, sent)) * 10'000 / sent;
    return QStringLiteral("%1.%2 %").arg(hundredths / 100).arg(hundredths % 100, 2, 10, QLatin1Char('0'));
}

} // namespace HistoryFormat
