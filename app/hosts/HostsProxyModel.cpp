#include "app/hosts/HostsProxyModel.h"

#include <cstdint>
#include <optional>

#include "app/common/NaturalOrder.h"
#include "app/hosts/HostsModel.h"

namespace {

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

// Worst first: what needs a look comes before what is fine, a host without a verdict after those, and a host not
// watched at all last.
int statusRank(const WatchedHost& host) {
    return host.running ? severity(HostStatus::Bad) - severity(host.status) : severity(HostStatus::Bad) + 1;
}

template <typename T> int order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Values before no value: a host without a figure yet sorts after every host that has one.
template <typename T> int orderKnown(const std::optional<T>& a, const std::optional<T>& b) {
    if (a.has_value() != b.has_value())
        return a ? -1 : 1;
    return a ? order(*a, *b) : 0;
}

// The last probe's round trip; a lost probe is longer than any answer, and no probe yet comes last.
std::optional<std::uint64_t> lastRtt(const WatchedHost& host) {
    if (host.lastRttUs)
        return *host.lastRttUs;
    if (host.stats.requests > 0)
        return UINT64_MAX;
    return std::nullopt;
}

std::optional<double> lossShare(const WatchedHost& host) {
    if (host.stats.requests == 0)
        return std::nullopt;
    return static_cast<double>(host.stats.lost) / host.stats.requests;
}

std::optional<std::uint32_t> average(const WatchedHost& host) {
    if (host.stats.replies() == 0)
        return std::nullopt;
    return host.stats.avgUs;
}

// The recent line: the more of it lost, the further down; among equals, the slower.
std::optional<std::pair<std::size_t, std::uint64_t>> recentWeight(const WatchedHost& host) {
    if (host.recent.empty())
        return std::nullopt;
    std::size_t lost = 0;
    std::uint64_t sum = 0;
    for (const WatchedHost::Point& point : host.recent) {
        if (point.rttUs)
            sum += *point.rttUs;
        else
            ++lost;
    }
    const std::size_t answered = host.recent.size() - lost;
    return std::pair{lost, answered == 0 ? 0 : sum / answered};
}

} // namespace

HostsProxyModel::HostsProxyModel(HostsModel& hosts, QObject* parent) : QSortFilterProxyModel(parent), hosts_(hosts) {
    setSourceModel(&hosts);
    setDynamicSortFilter(true);
    setFilterCaseSensitivity(Qt::CaseInsensitive);
    setSortCaseSensitivity(Qt::CaseInsensitive);
}

const WatchedHost* HostsProxyModel::host(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return hosts_.host(mapToSource(index).row());
}

int HostsProxyModel::compare(const WatchedHost& a, const WatchedHost& b, int column) const {
    int result = 0;
    switch (column) {
    case HostsModel::AddressColumn:
        // A host not yet found has no address: after those that have one.
        if (a.address.empty() != b.address.empty())
            return a.address.empty() ? 1 : -1;
        result = NaturalOrder::compare(fromStd(a.address), fromStd(b.address));
        break;
    case HostsModel::StatusColumn:
        result = order(statusRank(a), statusRank(b));
        // Then the longest in that status first, to the second it shows, so that hosts started together sort
        // by name rather than by the milliseconds between their starts. A stopped host has no status to be in.
        if (result == 0 && a.running)
            result = order(a.statusSinceMs == 0 ? INT64_MAX : a.statusSinceMs / 1000,
                           b.statusSinceMs == 0 ? INT64_MAX : b.statusSinceMs / 1000);
        break;
    case HostsModel::RttColumn:
        result = orderKnown(lastRtt(a), lastRtt(b));
        break;
    case HostsModel::LossColumn:
        result = orderKnown(lossShare(a), lossShare(b));
        break;
    case HostsModel::AverageColumn:
        result = orderKnown(average(a), average(b));
        break;
    case HostsModel::RecentColumn:
        result = orderKnown(recentWeight(a), recentWeight(b));
        break;
    default:
        break;
    }
    // Equals keep one order, by name, so that rows alike do not swap places at every probe.
    if (result == 0)
        result = NaturalOrder::compare(fromStd(a.settings.host), fromStd(b.settings.host));
    if (result == 0)
        result = order(a.id, b.id);
    return result;
}

void HostsProxyModel::setFilterText(const QString& text) {
    if (text == filterText_)
        return;
    filterText_ = text;
    invalidateFilter();
}

bool HostsProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const WatchedHost* a = hosts_.host(left.row());
    const WatchedHost* b = hosts_.host(right.row());
    if (a == nullptr || b == nullptr)
        return false;
    return compare(*a, *b, left.column()) < 0;
}

bool HostsProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (sourceParent.isValid())
        return false;
    const QString wanted = filterText_.trimmed();
    if (wanted.isEmpty())
        return true;
    const WatchedHost* host = hosts_.host(sourceRow);
    if (host == nullptr)
        return false;
    for (const QString& text : {fromStd(host->settings.host), fromStd(host->address), hosts_.statusText(*host)})
        if (text.contains(wanted, Qt::CaseInsensitive))
            return true;
    return false;
}

QString HostsProxyModel::summary() const {
    int counts[5] = {};
    const int total = hosts_.rowCount();
    for (int row = 0; row < total; ++row)
        if (const WatchedHost* host = hosts_.host(row))
            ++counts[statusRank(*host)];
    static const char* const kWords[5] = {"Bad", "Average", "Good", "N/A", "stopped"};
    QStringList parts;
    for (int rank = 0; rank < 5; ++rank)
        if (counts[rank] > 0)
            parts << QStringLiteral("%1 %2").arg(counts[rank]).arg(QLatin1String(kWords[rank]));
    QString text = total == 1 ? QStringLiteral("1 host") : QStringLiteral("%1 hosts").arg(total);
    if (!parts.isEmpty())
        text += QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    if (rowCount() < total)
        text += QStringLiteral(" (%1 shown)").arg(rowCount());
    return text;
}
