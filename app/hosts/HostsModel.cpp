#include "app/hosts/HostsModel.h"

#include <QDateTime>
#include <QFont>

#include "app/common/HistoryFormat.h"
#include "app/common/StatusIcons.h"
#include "text/ProbeText.h"

namespace {

const std::vector<WatchedHost> kNoHosts;

QString fromStd(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

HostsModel::HostsModel(QObject* parent, Clock clock)
    : QAbstractTableModel(parent), hosts_(&kNoHosts),
      clock_(clock ? std::move(clock) : [] { return QDateTime::currentMSecsSinceEpoch(); }) {}

void HostsModel::setHosts(const std::vector<WatchedHost>& hosts) {
    beginResetModel();
    hosts_ = &hosts;
    rows_.clear();
    ids_.clear();
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        rows_.emplace(hosts[i].id, static_cast<int>(i)); // a repeated id finds its first row
        ids_.push_back(hosts[i].id);
    }
    endResetModel();
}

bool HostsModel::updateHost(RunId id) {
    const std::optional<int> row = rowOf(id);
    if (!row)
        return false;
    Q_EMIT dataChanged(index(*row, 0), index(*row, kColumnCount - 1));
    return true;
}

const WatchedHost* HostsModel::host(int row) const {
    if (row < 0 || row >= rowCount() || static_cast<std::size_t>(row) >= hosts_->size())
        return nullptr;
    return &(*hosts_)[static_cast<std::size_t>(row)];
}

const WatchedHost* HostsModel::hostById(RunId id) const {
    const std::optional<int> row = rowOf(id);
    return row ? host(*row) : nullptr;
}

std::optional<int> HostsModel::rowOf(RunId id) const {
    const auto found = rows_.find(id);
    if (found == rows_.end())
        return std::nullopt;
    return found->second;
}

std::optional<RunId> HostsModel::idAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= ids_.size())
        return std::nullopt;
    return ids_[static_cast<std::size_t>(row)];
}

int HostsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ids_.size()); // the rows as last told
}

int HostsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant HostsModel::data(const QModelIndex& index, int role) const {
    const WatchedHost* h = index.isValid() ? host(index.row()) : nullptr;
    if (h == nullptr)
        return {};
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case HostColumn:
            return fromStd(h->settings.host);
        case AddressColumn:
            return fromStd(h->address);
        case StatusColumn:
            return statusText(*h);
        case RttColumn:
            return lastRttText(*h);
        case LossColumn:
            return lossText(*h);
        case AverageColumn:
            return averageText(*h);
        default:
            return {};
        }
    case Qt::DecorationRole:
        // A stopped host shows the unlit light, whatever its last run ended with.
        if (column == HostColumn)
            return StatusIcons::small(h->running ? h->status : HostStatus::NA);
        return {};
    case Qt::FontRole:
        if (h->main) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return {};
    case Qt::TextAlignmentRole:
        if (column == RttColumn || column == LossColumn || column == AverageColumn)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
        return toolTip(*h, column);
    case Qt::AccessibleTextRole:
        // The line is only drawn; a screen reader gets what its tooltip says.
        if (column == RecentColumn)
            return toolTip(*h, column);
        return {};
    default:
        return {};
    }
}

QVariant HostsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::ToolTipRole && section == RecentColumn)
        return QStringLiteral("Round trips of the last minutes, the newest at the right; red: lost");
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case HostColumn:
        return QStringLiteral("Host");
    case AddressColumn:
        return QStringLiteral("Address");
    case StatusColumn:
        return QStringLiteral("Status");
    case RttColumn:
        return QStringLiteral("Last RTT");
    case LossColumn:
        return QStringLiteral("Loss");
    case AverageColumn:
        return QStringLiteral("Average");
    case RecentColumn:
        return QStringLiteral("Recent");
    default:
        return {};
    }
}

QString HostsModel::statusText(const WatchedHost& host) const {
    if (!host.running)
        return QStringLiteral("Stopped");
    QString text = fromStd(statusWord(host.status));
    if (host.statusSinceMs > 0)
        text += QStringLiteral(" since ") + sinceText(host.statusSinceMs);
    return text;
}

QString HostsModel::sinceText(std::int64_t unixMs) const {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(unixMs);
    // Today's time alone reads at a glance; an older one needs its day.
    if (at.date() == QDateTime::fromMSecsSinceEpoch(clock_()).date())
        return at.toString(QStringLiteral("HH:mm:ss"));
    return HistoryFormat::dateTime(unixMs);
}

QString HostsModel::rttText(std::uint32_t us) {
    return HistoryFormat::milliseconds(us);
}

QString HostsModel::lastRttText(const WatchedHost& host) {
    if (host.lastRttUs)
        return rttText(*host.lastRttUs);
    // Before the first probe there is nothing to show; after it, no round trip means the probe was lost.
    return host.stats.requests > 0 ? QStringLiteral("lost") : QString();
}

QString HostsModel::lossText(const WatchedHost& host) {
    if (host.stats.requests == 0)
        return {};
    return fromStd(ProbeText::lost(host.stats));
}

QString HostsModel::averageText(const WatchedHost& host) {
    if (host.stats.replies() == 0)
        return {};
    return rttText(host.stats.avgUs);
}

QString HostsModel::toolTip(const WatchedHost& host, int column) const {
    const RunStatistics& s = host.stats;
    switch (column) {
    case HostColumn:
    case AddressColumn:
    case StatusColumn: {
        QString tip = fromStd(host.settings.host);
        if (!host.address.empty() && host.address != host.settings.host)
            tip += QStringLiteral(" (") + fromStd(host.address) + QStringLiteral(")");
        if (host.main)
            tip += QStringLiteral("\nMain host");
        return tip + QStringLiteral("\n") + statusText(host);
    }
    case LossColumn:
        if (s.requests == 0)
            return {};
        return QStringLiteral("%1 of %2 requests lost").arg(s.lost).arg(s.requests);
    case RttColumn:
    case AverageColumn:
        if (s.replies() == 0)
            return {};
        return QStringLiteral("Min %1, average %2, max %3").arg(rttText(s.minUs), rttText(s.avgUs), rttText(s.maxUs));
    case RecentColumn: {
        if (host.recent.empty())
            return {};
        std::size_t lost = 0;
        for (const WatchedHost::Point& point : host.recent)
            lost += point.rttUs ? 0 : 1;
        return QStringLiteral("Last %1 probes since %2, %3 lost")
            .arg(host.recent.size())
            .arg(sinceText(host.recent.front().unixMs))
            .arg(lost);
    }
    default:
        return {};
    }
}
