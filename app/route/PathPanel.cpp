#include "app/route/PathPanel.h"

#include <algorithm>
#include <utility>

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/common/ExportFile.h"
#include "app/route/PathTimeline.h"

namespace {

constexpr std::int64_t kDefaultSpanMs = 3 * 3'600'000LL;
// Path watching adds a minute at a time: a few seconds' delay is no loss, and a long span is costly to read.
constexpr int kRefreshMs = 10'000;

} // namespace

PathPanel::PathPanel(QWidget* parent, Clock clock)
    : QWidget(parent), clock_(std::move(clock)), view_([this] { return clock_(); }, kDefaultSpanMs) {
    if (!clock_)
        clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    setObjectName(QStringLiteral("pathPanel"));

    spanBox_ = new QComboBox(this);
    spanBox_->setObjectName(QStringLiteral("pathSpanBox"));
    spanBox_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    TimeSpanView::fillBox(*spanBox_);
    auto* spanLabel = new QLabel(QStringLiteral("Path &over:"), this);
    spanLabel->setBuddy(spanBox_);
    nowButton_ = new QPushButton(QStringLiteral("Back to &now"), this);
    nowButton_->setObjectName(QStringLiteral("pathNowButton"));
    nowButton_->setToolTip(QStringLiteral("Show the chosen span up to now again"));
    exportMenu_ = new QMenu(this);
    exportMenu_->addAction(QStringLiteral("&CSV..."), this, [this] { chooseExportFile(PathSource::Format::Csv); });
    exportMenu_->addAction(QStringLiteral("&JSON..."), this, [this] { chooseExportFile(PathSource::Format::Json); });
    exportButton_ = new QPushButton(QStringLiteral("&Export path"), this);
    exportButton_->setObjectName(QStringLiteral("pathExportButton"));
    exportButton_->setToolTip(QStringLiteral("Save each hop's minutes of the span shown as CSV or JSON"));
    exportButton_->setMenu(exportMenu_);
    exportButton_->setEnabled(false);
    auto* hint = new QLabel(QStringLiteral("<i>Click: that moment's path, wheel: zoom, drag: pan</i>"), this);
    hint->setTextFormat(Qt::RichText);

    auto* top = new QHBoxLayout;
    top->addWidget(spanLabel);
    top->addWidget(spanBox_);
    top->addWidget(nowButton_);
    top->addSpacing(fontMetrics().averageCharWidth() * 2);
    top->addWidget(hint, 1);
    top->addWidget(exportButton_);

    timeline_ = new PathTimeline(this);
    timeline_->setObjectName(QStringLiteral("pathTimeline"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(timeline_, 1);

    view_.changed = [this] {
        showSpanInBox();
        refresh();
    };
    connect(spanBox_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && static_cast<std::size_t>(index) < TimeSpanView::presets().size())
            view_.choose(TimeSpanView::presets()[static_cast<std::size_t>(index)].ms);
    });
    connect(nowButton_, &QPushButton::clicked, this, [this] { view_.backToNow(); });
    connect(timeline_, &PathTimeline::zoomRequested, this, [this](double f, std::int64_t at) { view_.zoom(f, at); });
    connect(timeline_, &PathTimeline::panRequested, this, [this](std::int64_t by) { view_.pan(by); });
    connect(timeline_, &PathTimeline::rangeRequested, this,
            [this](std::int64_t from, std::int64_t to) { view_.showRange(from, to); });
    connect(timeline_, &PathTimeline::momentChosen, this, [this](std::int64_t at) {
        if (const std::optional<Moment> moment = momentAt(at))
            Q_EMIT momentChosen(moment->minuteMs);
    });
    refreshTimer_.setInterval(kRefreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        // A view moved into the past holds still; one that follows now takes in the newest minutes.
        if (!view_.shownEndMs() && !window()->isMinimized())
            refresh();
    });
    showSpanInBox();
}

void PathPanel::setSource(PathSource source) {
    source_ = std::move(source);
    refresh();
}

void PathPanel::setHost(const QString& host) {
    if (host == host_)
        return;
    host_ = host;
    timeline_->setChosen(std::nullopt);
    refresh();
}

void PathPanel::refresh() {
    const TimeSpanView::Range range = view_.range();
    const std::string host = host_.toStdString();
    const bool known = !host.empty();
    timeline_->setData(
        range.fromMs, range.toMs,
        known && source_.minutes ? source_.minutes(host, range.fromMs, range.toMs) : std::vector<PathMinute>{},
        known && source_.changes ? source_.changes(host, range.fromMs, range.toMs) : std::vector<RouteChange>{});
    exportButton_->setEnabled(known && source_.write != nullptr);
}

void PathPanel::showSpanInBox() {
    view_.showIn(*spanBox_);
    nowButton_->setEnabled(view_.awayFromChosen());
}

std::optional<PathPanel::Moment> PathPanel::momentAt(std::int64_t atMs) const {
    const std::vector<PathMinute>& minutes = timeline_->minutes();
    if (minutes.empty())
        return std::nullopt;
    // In time order: the last minute begun by then, else the first one after.
    auto after = std::upper_bound(minutes.begin(), minutes.end(), atMs,
                                  [](std::int64_t at, const PathMinute& m) { return at < m.minuteMs; });
    const std::int64_t minuteMs = after == minutes.begin() ? after->minuteMs : std::prev(after)->minuteMs;
    return Moment{minuteMs, pathOf(minutes, minuteMs)};
}

RouteResult PathPanel::pathOf(const std::vector<PathMinute>& minutes, std::int64_t minuteMs) {
    RouteResult result;
    for (const PathMinute& minute : minutes) {
        if (minute.minuteMs != minuteMs)
            continue;
        RouteHop hop;
        hop.number = minute.hop;
        hop.answered = minute.answered;
        hop.sent = minute.sent;
        hop.received = minute.received();
        // A minute keeps no single last reply: its average stands in.
        hop.lastUs = minute.avgUs;
        hop.bestUs = minute.minUs;
        hop.averageUs = minute.avgUs;
        hop.worstUs = minute.maxUs;
        hop.stdDevUs = minute.mdevUs;
        result.rounds = std::max(result.rounds, minute.sent);
        result.hops.push_back(std::move(hop));
    }
    std::sort(result.hops.begin(), result.hops.end(),
              [](const RouteHop& a, const RouteHop& b) { return a.number < b.number; });
    // Path watching traces up to the destination: a last hop that answered is the destination reached.
    if (!result.hops.empty() && !result.hops.back().neverAnswered() && !result.hops.back().answered.empty()) {
        result.reached = true;
        result.destination = result.hops.back().answered.front();
    }
    result.lossBeginsAt = RouteLoss::beginsAt(result.hops, result.reached);
    return result;
}

QString PathPanel::exportTo(const QString& path, PathSource::Format format) {
    if (!source_.write || host_.isEmpty())
        return QStringLiteral("Cannot export to %1: no path is kept").arg(QDir::toNativeSeparators(path));
    const TimeSpanView::Range range = view_.range();
    const std::string host = host_.toStdString();
    return ExportFile::write(
        path, [&](std::ostream& out) { return source_.write(format, host, range.fromMs, range.toMs, out); },
        [this] { return source_.problem ? QString::fromStdString(source_.problem()) : QString(); });
}

void PathPanel::chooseExportFile(PathSource::Format format) {
    const bool csv = format == PathSource::Format::Csv;
    ExportFile::ask(this, QStringLiteral("Export path"), csv ? QStringLiteral("CSV") : QStringLiteral("JSON"),
                    csv ? QStringLiteral("csv") : QStringLiteral("json"), QStringLiteral("path-") + host_,
                    [this, format](const QString& path) { return exportTo(path, format); });
}

void PathPanel::showEvent(QShowEvent* event) {
    refresh();
    refreshTimer_.start();
    QWidget::showEvent(event);
}

void PathPanel::hideEvent(QHideEvent* event) {
    refreshTimer_.stop();
    QWidget::hideEvent(event);
}
