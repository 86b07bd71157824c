#include "app/history/HistoryWindow.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/common/ExportFile.h"
#include "app/common/HistoryFormat.h"
#include "app/common/NaturalOrder.h"
#include "app/common/WindowSize.h"
#include "app/history/LatencyGraph.h"
#include "app/history/OverlayChooser.h"
#include "history/HistoryLedger.h"
#include "text/IcmpStatusText.h"
#include "text/RouteText.h"

namespace {

constexpr int kDefaultSpan = 1; // one hour
const QSize kDefaultSize(780, 560);

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// "label value" that a wrapping line never splits, "95th percentile" included.
QString figure(const QString& label, const QString& value) {
    return QString(label).replace(QLatin1Char(' '), QChar(0x00A0)) + QChar(0x00A0) +
           QString(value).replace(QLatin1Char(' '), QChar(0x00A0));
}

QString outageCause(const Outage& outage) {
    // Bad without a failed probe: the analysis found the replies too slow.
    if (outage.firstStatus == 0)
        return QStringLiteral("Replies too slow");
    return text(icmpStatusText(static_cast<std::int32_t>(outage.firstStatus)));
}

std::string* sizeStore = nullptr;

std::string& keptSize() {
    static std::string forThisProcess;
    return sizeStore != nullptr ? *sizeStore : forThisProcess;
}

std::string* spanStore = nullptr;

std::string& keptSpan() {
    static std::string forThisProcess;
    return spanStore != nullptr ? *spanStore : forThisProcess;
}

std::string* overlayStore = nullptr;

std::string& keptOverlay() {
    static std::string forThisProcess;
    return overlayStore != nullptr ? *overlayStore : forThisProcess;
}

// The small graphs read up to a year of hourly figures: every ten seconds is often enough for them.
constexpr int kOverviewEvery = 10;

// When the first failure and the verdict differ, both are worth knowing.
QString outageTimes(const Outage& outage) {
    QStringList lines;
    if (outage.firstErrorMs)
        lines << QStringLiteral("First failed probe at ") + HistoryFormat::dateTime(*outage.firstErrorMs);
    if (outage.verdictMs != outage.startMs || !outage.firstErrorMs)
        lines << QStringLiteral("Status Bad from ") + HistoryFormat::dateTime(outage.verdictMs);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

const std::vector<HistoryWindow::Span>& HistoryWindow::overviewSpans() {
    static const std::vector<Span> all{spans().at(2), spans().at(4), spans().at(6), spans().at(8)};
    return all;
}

HistoryWindow::HistoryWindow(std::shared_ptr<HistoryLedger> ledger, const QString& host, QWidget* parent, Clock clock)
    : QWidget(parent, Qt::Window), ledger_(std::move(ledger)), clock_(std::move(clock)),
      view_([this] { return clock_(); }, spans().at(kDefaultSpan).ms) {
    if (!clock_)
        clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    setObjectName(QStringLiteral("historyWindow"));

    // Shown only once the ledger holds more than one host.
    hostBox_ = new QComboBox(this);
    hostBox_->setObjectName(QStringLiteral("hostBox"));
    hostBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    hostBox_->setMinimumContentsLength(18);
    hostBox_->setToolTip(QStringLiteral("The host whose history is shown"));
    hostLabel_ = new QLabel(QStringLiteral("&Host:"), this);
    hostLabel_->setBuddy(hostBox_);
    overlayMenu_ = new QMenu(this);
    overlayMenu_->setObjectName(QStringLiteral("overlayMenu"));
    overlayChooser_ = new OverlayChooser(overlayMenu_);
    connect(overlayChooser_, &OverlayChooser::toggled, this, [this](const QString& host, bool on) {
        overlayHosts_.removeAll(host);
        if (on)
            overlayHosts_ << host;
        keepOverlay();
        refresh();
    });
    overlayButton_ = new QToolButton(this);
    overlayButton_->setObjectName(QStringLiteral("overlayButton"));
    overlayButton_->setText(QStringLiteral("&Overlay"));
    overlayButton_->setToolTip(QStringLiteral("Draw the latency of other hosts over this one's"));
    overlayButton_->setMenu(overlayMenu_);
    overlayButton_->setPopupMode(QToolButton::InstantPopup);
    overlayButton_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    for (QWidget* w :
         {static_cast<QWidget*>(hostLabel_), static_cast<QWidget*>(hostBox_), static_cast<QWidget*>(overlayButton_)})
        w->setVisible(false);

    spanBox_ = new QComboBox(this);
    spanBox_->setObjectName(QStringLiteral("spanBox"));
    TimeSpanView::fillBox(*spanBox_);
    spanBox_->setCurrentIndex(kDefaultSpan);
    auto* spanLabel = new QLabel(QStringLiteral("&Span:"), this);
    spanLabel->setBuddy(spanBox_);
    spanBox_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    nowButton_ = new QPushButton(QStringLiteral("Back to &now"), this);
    nowButton_->setObjectName(QStringLiteral("nowButton"));
    nowButton_->setToolTip(QStringLiteral("Show the chosen span up to now again"));
    exportButton_ = new QPushButton(QStringLiteral("Export CSV..."), this);
    exportButton_->setObjectName(QStringLiteral("exportButton"));

    auto* top = new QHBoxLayout;
    top->addWidget(hostLabel_);
    top->addWidget(hostBox_);
    top->addWidget(overlayButton_);
    top->addSpacing(fontMetrics().averageCharWidth() * 2);
    top->addWidget(spanLabel);
    top->addWidget(spanBox_);
    top->addWidget(nowButton_);
    top->addStretch(1);
    top->addWidget(exportButton_);

    problemLabel_ = new QLabel(this);
    problemLabel_->setObjectName(QStringLiteral("problemLabel"));
    problemLabel_->setWordWrap(true);
    problemLabel_->setTextFormat(Qt::PlainText);
    problemLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problemLabel_->hide();

    auto* overviewRow = new QHBoxLayout;
    for (const Span& span : overviewSpans()) {
        auto* small = new LatencyGraph(this);
        small->setObjectName(QStringLiteral("overviewGraph%1").arg(overview_.size()));
        small->setCompact(QString::fromLatin1(span.label));
        small->setToolTip(QStringLiteral("Show the last %1").arg(QString::fromLatin1(span.label)));
        small->setAccessibleName(QString::fromLatin1(span.label));
        const std::int64_t ms = span.ms;
        connect(small, &LatencyGraph::chosen, this, [this, ms] { chooseSpan(ms); });
        overviewRow->addWidget(small);
        overview_.push_back(small);
    }

    graph_ = new LatencyGraph(this);
    graph_->setObjectName(QStringLiteral("graph"));
    connect(graph_, &LatencyGraph::zoomRequested, this, &HistoryWindow::zoom);
    connect(graph_, &LatencyGraph::panRequested, this, &HistoryWindow::pan);
    connect(graph_, &LatencyGraph::rangeRequested, this, &HistoryWindow::showRange);

    legendLabel_ = new QLabel(this);
    legendLabel_->setObjectName(QStringLiteral("legendLabel"));
    legendLabel_->setWordWrap(true);
    legendLabel_->setTextFormat(Qt::RichText);

    summaryLabel_ = new QLabel(this);
    summaryLabel_->setObjectName(QStringLiteral("summaryLabel"));
    summaryLabel_->setWordWrap(true);
    summaryLabel_->setTextFormat(Qt::PlainText);
    summaryLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* outagesLabel = new QLabel(QStringLiteral("Outages"), this);
    outageList_ = new QTreeWidget(this);
    outageList_->setObjectName(QStringLiteral("outageList"));
    outageList_->setHeaderLabels({QStringLiteral("Start"), QStringLiteral("End"), QStringLiteral("Duration"),
                                  QStringLiteral("Cause"), QStringLiteral("Where")});
    outageList_->setRootIsDecorated(false);
    outageList_->setUniformRowHeights(true);
    outageList_->setAlternatingRowColors(true);
    outageList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    outageList_->header()->setStretchLastSection(true);
    const QFontMetrics fm = outageList_->fontMetrics();
    const int timeWidth = fm.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 3 * fm.averageCharWidth();
    outageList_->setColumnWidth(0, timeWidth);
    outageList_->setColumnWidth(1, timeWidth);
    outageList_->setColumnWidth(2, fm.horizontalAdvance(QStringLiteral("00 min 00 s")) + 3 * fm.averageCharWidth());
    outageList_->setColumnWidth(CauseColumn, fm.horizontalAdvance(QStringLiteral("Destination Host Unreachable")) +
                                                 3 * fm.averageCharWidth());
    outagesLabel->setBuddy(outageList_);
    connect(outageList_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        const int index = outageList_->indexOfTopLevelItem(item);
        if (index < 0 || static_cast<std::size_t>(index) >= shownOutages_.size())
            return;
        if (const std::optional<std::int64_t> route = shownOutages_[static_cast<std::size_t>(index)].routeId)
            Q_EMIT routeSnapshotRequested(*route);
    });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(problemLabel_);
    layout->addLayout(overviewRow);
    layout->addWidget(graph_, 3);
    layout->addWidget(legendLabel_);
    layout->addWidget(summaryLabel_);
    layout->addWidget(outagesLabel);
    layout->addWidget(outageList_, 1);

    connect(spanBox_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && static_cast<std::size_t>(index) < spans().size())
            chooseSpan(spans()[static_cast<std::size_t>(index)].ms);
    });
    connect(hostBox_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < hosts_.size())
            showHost(hosts_.at(index));
    });
    connect(nowButton_, &QPushButton::clicked, this, &HistoryWindow::backToNow);
    connect(exportButton_, &QPushButton::clicked, this, [this] { chooseExportFile(); });
    refreshTimer_.setInterval(1000);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        if (isMinimized())
            return;
        refresh();
        if (--ticksToOverview_ <= 0) {
            refreshHosts();
            refreshOverview(clock_());
        }
    });

    view_.changed = [this] {
        showSpanInBox();
        refresh();
    };
    restoreSpan();
    // Hosts as kept, whether or not the ledger holds them yet: one it never holds is simply not drawn.
    overlayHosts_ = text(keptOverlay()).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString& kept : overlayHosts_)
        kept = kept.trimmed();
    overlayHosts_.removeAll(QString());
    overlayHosts_.removeDuplicates();
    legendLabel_->setText(LatencyGraph::legendHtml(palette()) +
                          QStringLiteral(" &nbsp; <i>Wheel:&nbsp;zoom, drag:&nbsp;pan, "
                                         "Shift+drag:&nbsp;zoom&nbsp;to&nbsp;range</i>"));
    setHost(host);
    restoreSize();
}

HistoryWindow::~HistoryWindow() {
    saveSize();
}

void HistoryWindow::setLedger(std::shared_ptr<HistoryLedger> ledger) {
    ledger_ = std::move(ledger);
    shownOutages_.clear();
    outageList_->clear();
    refreshHosts();
    refresh();
    refreshOverview(clock_());
}

void HistoryWindow::setHost(const QString& host) {
    mainHost_ = host;
    chooseHost(host);
}

void HistoryWindow::showHost(const QString& host) {
    chooseHost(host);
}

void HistoryWindow::chooseHost(const QString& host) {
    host_ = host;
    setWindowTitle(QStringLiteral("History - ") + host);
    shownOutages_.clear();
    outageList_->clear();
    refreshHosts();
    refresh();
    refreshOverview(clock_());
}

void HistoryWindow::refreshHosts() {
    QStringList others;
    if (ledger_)
        for (const std::string& stored : ledger_->hosts())
            others << text(stored);
    if (!host_.isEmpty())
        others << host_;
    others.removeAll(mainHost_);
    others.removeDuplicates();
    std::sort(others.begin(), others.end(), NaturalOrder::less);
    QStringList all;
    if (!mainHost_.isEmpty())
        all << mainHost_;
    all << others;
    if (all != hosts_) {
        hosts_ = all;
        const QSignalBlocker quiet(hostBox_);
        hostBox_->clear();
        hostBox_->addItems(hosts_);
        overlayChooser_->setHosts(hosts_, host_);
        overlayChooser_->setTicked(overlayHosts_);
    }
    {
        const QSignalBlocker quiet(hostBox_);
        hostBox_->setCurrentIndex(static_cast<int>(hosts_.indexOf(host_)));
    }
    // The chosen host is drawn anyway: it cannot be overlaid on itself.
    overlayChooser_->setShown(host_);
    const bool several = hosts_.size() > 1;
    hostLabel_->setVisible(several);
    hostBox_->setVisible(several);
    overlayButton_->setVisible(several);
}

void HistoryWindow::setOverlayHosts(const QStringList& hosts) {
    overlayHosts_ = hosts;
    overlayHosts_.removeDuplicates();
    keepOverlay();
    overlayChooser_->setTicked(overlayHosts_);
    refresh();
}

void HistoryWindow::setSpanIndex(int index) {
    chooseSpan(spans().at(static_cast<std::size_t>(index)).ms);
}

void HistoryWindow::chooseSpan(std::int64_t spanMs) {
    keptSpan() = std::to_string(TimeSpanView::withinZoom(spanMs) / 1000);
    view_.choose(spanMs);
}

void HistoryWindow::backToNow() {
    view_.backToNow();
}

void HistoryWindow::zoom(double factor, std::int64_t atMs) {
    view_.zoom(factor, atMs);
}

void HistoryWindow::pan(std::int64_t earlierByMs) {
    view_.pan(earlierByMs);
}

void HistoryWindow::showRange(std::int64_t fromMs, std::int64_t toMs) {
    view_.showRange(fromMs, toMs);
}

void HistoryWindow::showSpanInBox() {
    view_.showIn(*spanBox_);
    nowButton_->setEnabled(view_.awayFromChosen());
    for (std::size_t i = 0; i < overview_.size(); ++i)
        overview_[i]->setCurrent(!view_.shownEndMs() && view_.shownSpanMs() == overviewSpans()[i].ms);
}

void HistoryWindow::refreshOverview(std::int64_t nowMs) {
    ticksToOverview_ = kOverviewEvery;
    const std::string host = host_.toStdString();
    for (std::size_t i = 0; i < overview_.size(); ++i) {
        LatencyGraph* small = overview_[i];
        const std::int64_t from = nowMs + 1 - overviewSpans()[i].ms;
        const std::int64_t to = nowMs + 1;
        if (!ledger_) {
            small->setData(from, to, nowMs, {}, {});
            small->setLossPeriods({});
            continue;
        }
        small->setData(from, to, nowMs, ledger_->series(host, from, to, std::max(small->columns(), 30)),
                       ledger_->statusChanges(host, from, to));
        small->setLossPeriods(LatencyGraph::lossPeriods(ledger_->outages(host, from, to), nowMs));
    }
}

void HistoryWindow::refresh() {
    const auto [from, to, now] = view_.range();
    const std::string host = host_.toStdString();

    if (!ledger_) {
        problemLabel_->hide();
        exportButton_->setEnabled(false);
        graph_->setData(from, to, now, {}, {});
        graph_->setLossPeriods({});
        graph_->setRouteChanges({});
        graph_->setOverlays({}, host_);
        showSummary(RttStats());
        showOutages({}, now);
        return;
    }
    // Recording off, or a file that is read but not written, still shows what it holds.
    QString note;
    const QString problem = text(ledger_->problem());
    if (!ledger_->enabled())
        note = QStringLiteral("Recording is off: HistoryDays is 0.");
    else if (!problem.isEmpty())
        note = ledger_->readOnly() ? problem : QStringLiteral("History cannot be kept: ") + problem;
    problemLabel_->setText(note);
    problemLabel_->setVisible(!note.isEmpty());
    exportButton_->setEnabled(!host.empty() && (ledger_->enabled() || ledger_->hasFile()));

    const int columns = std::max(graph_->columns(), 60);
    graph_->setData(from, to, now, ledger_->series(host, from, to, columns), ledger_->statusChanges(host, from, to));
    std::vector<LatencyGraph::Overlay> overlays;
    for (qsizetype i = 0; i < overlayHosts_.size(); ++i) {
        const QString& other = overlayHosts_.at(i);
        if (other == host_ || !hosts_.contains(other))
            continue;
        // Each keeps its colour while others are ticked and unticked.
        overlays.push_back({other, LatencyGraph::overlayColour(static_cast<std::size_t>(i)),
                            ledger_->series(other.toStdString(), from, to, columns)});
    }
    graph_->setOverlays(std::move(overlays), host_);
    graph_->setRouteChanges(ledger_->routeChanges(host, from, to));
    showSummary(ledger_->summary(host, from, to));
    std::vector<Outage> outages = ledger_->outages(host, from, to);
    graph_->setLossPeriods(LatencyGraph::lossPeriods(outages, now));
    showOutages(std::move(outages), now);
}

void HistoryWindow::showSummary(const RttStats& s) {
    if (s.empty()) {
        summaryLabel_->setText(QStringLiteral("No probes in this span."));
        return;
    }
    const QString none = QStringLiteral("-");
    const bool replies = s.replies() > 0;
    auto rtt = [&](std::int64_t us) { return replies ? HistoryFormat::milliseconds(us) : none; };
    const QStringList parts{
        figure(QStringLiteral("Availability"), HistoryFormat::availability(s.sent(), s.lost())),
        figure(QStringLiteral("Sent"), QString::number(s.sent())),
        figure(QStringLiteral("Lost"), QString::number(s.lost())),
        figure(QStringLiteral("Min"), rtt(s.minUs())),
        figure(QStringLiteral("Median"), rtt(replies ? s.quantileUs(0.5) : 0)),
        figure(QStringLiteral("95th percentile"), rtt(replies ? s.quantileUs(0.95) : 0)),
        figure(QStringLiteral("Max"), rtt(s.maxUs())),
        figure(QStringLiteral("Jitter"), rtt(std::llround(s.jitterUs()))),
    };
    summaryLabel_->setText(parts.join(QStringLiteral("   ")));
}

void HistoryWindow::showOutages(std::vector<Outage> outages, std::int64_t nowMs) {
    // Newest first; rebuilt only when the list changed, so a selection survives the refreshes.
    std::reverse(outages.begin(), outages.end());
    if (outages != shownOutages_) {
        outageList_->clear();
        for (const Outage& outage : outages) {
            auto* row = new QTreeWidgetItem(outageList_);
            row->setText(0, HistoryFormat::dateTime(outage.startMs));
            row->setText(1, outage.endMs ? HistoryFormat::dateTime(*outage.endMs) : QStringLiteral("ongoing"));
            row->setText(3, outageCause(outage));
            if (outage.routeId)
                row->setText(WhereColumn,
                             QString::fromStdString(RouteText::where(outage.lossBeginsAt, outage.lossAddress)));
            const QString times = outageTimes(outage);
            for (int column = 0; column < WhereColumn; ++column)
                row->setToolTip(column, times);
            if (outage.routeId)
                row->setToolTip(WhereColumn, QString::fromStdString(RouteText::lossSentence(
                                                 outage.lossBeginsAt, outage.lossAddress, outage.lastAnsweringHop,
                                                 outage.lastAnsweringAddress)) +
                                                 QStringLiteral("\nDouble-click to see the route"));
        }
        shownOutages_ = std::move(outages);
    }
    for (int i = 0; i < outageList_->topLevelItemCount(); ++i) {
        const Outage& outage = shownOutages_.at(static_cast<std::size_t>(i));
        outageList_->topLevelItem(i)->setText(2,
                                              HistoryFormat::duration(outage.endMs.value_or(nowMs) - outage.startMs));
    }
}

QString HistoryWindow::exportCsv(const QString& path) {
    // What the graph shows.
    const TimeSpanView::Range shown = view_.range();
    if (!ledger_ || (!ledger_->enabled() && !ledger_->hasFile()))
        return QStringLiteral("Cannot export to %1: no history is kept").arg(QDir::toNativeSeparators(path));
    return ExportFile::write(
        path,
        [&](std::ostream& out) {
            return ledger_->exportCsv(host_.toStdString(), shown.fromMs, shown.toMs, out, [](std::uint32_t status) {
                return icmpStatusText(static_cast<std::int32_t>(status));
            });
        },
        [this] { return text(ledger_->problem()); });
}

void HistoryWindow::chooseExportFile() {
    ExportFile::ask(this, QStringLiteral("Export CSV"), QStringLiteral("CSV"), QStringLiteral("csv"),
                    QStringLiteral("history-") + host_, [this](const QString& path) { return exportCsv(path); });
}

void HistoryWindow::changeEvent(QEvent* event) {
    // The legend's swatches are blended over the base colour: a new theme needs them again.
    if (event->type() == QEvent::PaletteChange && legendLabel_ != nullptr)
        legendLabel_->setText(LatencyGraph::legendHtml(palette()) +
                              QStringLiteral(" &nbsp; <i>Wheel:&nbsp;zoom, drag:&nbsp;pan, "
                                             "Shift+drag:&nbsp;zoom&nbsp;to&nbsp;range</i>"));
    QWidget::changeEvent(event);
}

void HistoryWindow::showEvent(QShowEvent* event) {
    refreshHosts();
    refresh();
    refreshOverview(clock_());
    refreshTimer_.start();
    QWidget::showEvent(event);
}

void HistoryWindow::hideEvent(QHideEvent* event) {
    refreshTimer_.stop();
    saveSize();
    QWidget::hideEvent(event);
}

void HistoryWindow::keepSizeIn(std::string* size) {
    sizeStore = size;
}

void HistoryWindow::keepSpanIn(std::string* span) {
    spanStore = span;
}

void HistoryWindow::keepOverlayIn(std::string* hosts) {
    overlayStore = hosts;
}

void HistoryWindow::keepOverlay() {
    // An empty value would leave the one stored before in the file: none ticked is kept as a lone comma.
    keptOverlay() = overlayHosts_.isEmpty() ? std::string(",") : overlayHosts_.join(QLatin1Char(',')).toStdString();
}

void HistoryWindow::restoreSpan() {
    // Whole seconds; anything else (a hand edit, an empty value) is the default hour.
    static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,12})\\s*$"));
    const QRegularExpressionMatch match = form.match(text(keptSpan()));
    view_.reset(match.hasMatch() ? match.captured(1).toLongLong() * 1000 : spans().at(kDefaultSpan).ms);
    showSpanInBox();
}

void HistoryWindow::restoreSize() {
    savedSize_ = text(keptSize());
    resize(keptWindowSize(keptSize(), kDefaultSize, minimumSizeHint()));
}

void HistoryWindow::saveSize() {
    const QString value = QStringLiteral("%1x%2").arg(width()).arg(height());
    if (value == savedSize_)
        return;
    keptSize() = value.toStdString();
    savedSize_ = value;
}
