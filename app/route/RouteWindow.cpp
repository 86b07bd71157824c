#include "app/route/RouteWindow.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include <QApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/common/AppSettings.h"
#include "app/common/WindowSize.h"
#include "app/route/PathPanel.h"
#include "app/route/PathTimeline.h"
#include "engine/PosixHostResolver.h"
#include "engine/RouteTracer.h"
#include "text/RouteText.h"

namespace {

const QSize kDefaultSize(760, 640);
constexpr int kRowPadding = 2;

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// "far.example [192.0.2.10]", or the address alone when that is what the host was given as.
QString hostAndAddress(const QString& host, const IpAddress& address) {
    const QString shown = text(address.text());
    return host == shown || shown.isEmpty() ? host : QStringLiteral("%1 [%2]").arg(host, shown);
}

QString addressesText(const RouteHop& hop) {
    QString shown = text(RouteText::firstAddress(hop));
    if (hop.unreachable)
        shown += QStringLiteral("  unreachable");
    // A load balancer answers from several addresses: the others under the first.
    for (std::size_t i = 1; i < hop.answered.size(); ++i)
        shown += QLatin1Char('\n') + text(hop.answered[i].text());
    return shown;
}

// Red enough to read as loss on a light and on a dark base alike.
QColor lossColour() {
    return QColor(225, 45, 40, 150);
}

} // namespace

// Paints the loss bar behind the Loss% figure and the latency bar (best to worst, the average marked) of each
// hop, from the figures the window shows.
class RouteBarDelegate : public QStyledItemDelegate {
public:
    RouteBarDelegate(const RouteResult& shown, QObject* parent) : QStyledItemDelegate(parent), shown_(shown) {}

    void setScale(std::uint32_t scaleUs) { scaleUs_ = scaleUs; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        // Rows get air above and below their lines; the alternating colours still cover the whole row.
        QStyleOptionViewItem opt(option);
        opt.rect.adjust(0, kRowPadding, 0, -kRowPadding);
        const int column = index.column();
        const auto row = static_cast<std::size_t>(index.row());
        if ((column != RouteWindow::LossColumn && column != RouteWindow::LatencyColumn) || row >= shown_.hops.size()) {
            QStyledItemDelegate::paint(painter, opt, index);
            return;
        }
        const RouteHop& hop = shown_.hops[row];
        initStyleOption(&opt, index);
        const QWidget* widget = opt.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        const QString figure = opt.text;
        opt.text.clear();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        // The bars stand on the row's first line: a second address goes below it.
        const QRect line(opt.rect.left() + 3, opt.rect.top(), std::max(opt.rect.width() - 6, 0),
                         std::min(opt.fontMetrics.height(), opt.rect.height()));
        painter->save();
        if (column == RouteWindow::LossColumn) {
            // A hop that never answered is a silent router, not loss: it gets no bar.
            if (!hop.neverAnswered() && hop.lost() != 0) {
                const int width = std::max(1, static_cast<int>(std::lround(line.width() * hop.lossPercent() / 100.0)));
                painter->fillRect(QRect(line.left(), line.top() + 1, width, line.height() - 2), lossColour());
            }
            opt.text = figure;
            const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
            painter->setPen(opt.palette.color(QPalette::Text));
            painter->drawText(textRect, static_cast<int>(opt.displayAlignment), figure);
        } else if (const auto bar = RouteWindow::latencyBar(hop, scaleUs_, line.width())) {
            const QColor textColour = opt.palette.color(QPalette::Text);
            QColor track = textColour;
            track.setAlpha(50);
            const int middle = line.top() + line.height() / 2;
            painter->fillRect(QRect(line.left(), middle, line.width(), 1), track);
            QColor span = opt.palette.color(QPalette::Highlight);
            span.setAlpha(170);
            const int barHeight = std::max(4, line.height() / 2);
            painter->fillRect(QRect(line.left() + bar->left, middle - barHeight / 2,
                                    std::max(bar->right - bar->left + 1, 2), barHeight),
                              span);
            const int markWidth = std::max(2, line.height() / 6);
            painter->fillRect(
                QRect(line.left() + bar->mark - markWidth / 2, line.top() + 1, markWidth, line.height() - 2),
                textColour);
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QStyledItemDelegate::sizeHint(option, index) + QSize(0, 2 * kRowPadding);
    }

private:
    const RouteResult& shown_;
    std::uint32_t scaleUs_ = 0;
};

RouteWindow::RouteWindow(AppSettings& settings, QWidget* parent) : QWidget(parent, Qt::Window), settings_(settings) {
    setHostSource({});
    startButton_ = new QPushButton(QStringLiteral("&Start"), this);
    roundsLabel_ = new QLabel(this);
    sourceLabel_ = new QLabel(this);
    sourceLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* top = new QHBoxLayout;
    top->addWidget(startButton_);
    top->addWidget(roundsLabel_);
    top->addSpacing(12);
    top->addWidget(sourceLabel_, 1);

    table_ = new QTreeWidget(this);
    table_->setColumnCount(ColumnCount);
    table_->setHeaderLabels({QStringLiteral("Hop"), QStringLiteral("Address"), QStringLiteral("Loss%"),
                             QStringLiteral("Snt"), QStringLiteral("Last"), QStringLiteral("Avg"),
                             QStringLiteral("Best"), QStringLiteral("Wrst"), QStringLiteral("StDev"),
                             QStringLiteral("Latency")});
    for (int column = LastColumn; column <= StdDevColumn; ++column)
        table_->headerItem()->setToolTip(column, QStringLiteral("Milliseconds"));
    table_->headerItem()->setToolTip(
        LatencyColumn, QStringLiteral("Best to worst reply, the average marked; the slowest hop fills the column"));
    for (int column = HopColumn; column < LatencyColumn; ++column)
        if (column != AddressColumn)
            table_->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    table_->setRootIsDecorated(false);
    table_->setItemsExpandable(false);
    table_->setAlternatingRowColors(true);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setFocusPolicy(Qt::NoFocus);
    table_->header()->setStretchLastSection(true);
    table_->header()->setSectionsMovable(false);
    for (int column = HopColumn; column < LatencyColumn; ++column)
        table_->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    table_->header()->setSectionResizeMode(LossColumn, QHeaderView::Fixed);
    bars_ = new RouteBarDelegate(shown_, table_);
    table_->setItemDelegate(bars_);

    lossLabel_ = new QLabel(this);
    QFont bold = lossLabel_->font();
    bold.setBold(true);
    lossLabel_->setFont(bold);
    lossLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    messageLabel_ = new QLabel(this);
    messageLabel_->setWordWrap(true);
    messageLabel_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(table_, 1);
    layout->addWidget(lossLabel_);
    layout->addWidget(messageLabel_);
    path_ = new PathPanel(this);
    layout->addWidget(path_, 1);
    connect(path_, &PathPanel::momentChosen, this, [this](qint64 minuteMs) { showPathAt(minuteMs); });

    connect(startButton_, &QPushButton::clicked, this, [this] {
        if (isTracing())
            stopTracing();
        else
            startTracing();
    });
    connect(&settings_, &AppSettings::changed, this, &RouteWindow::followSettings);

    fitToStyle();
    host_ = text(settings_.value().host);
    showResult(shown_);
    updateControls();
    updateTitle();
    restoreSize();
}

RouteWindow::~RouteWindow() {
    lookup_.reset(); // an answer still to come is dropped
    if (tracer_) {
        tracer_->stop();
        joinTrace();
    }
    if (isVisible())
        saveSize();
}

void RouteWindow::setHostSource(HostSource source) {
    if (!source.resolver)
        source.resolver = std::make_shared<PosixHostResolver>();
    source_ = std::move(source);
    lookup_ = std::make_unique<HostLookup>(source_.resolver, [this](std::function<void()> task) {
        QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
    });
}

void RouteWindow::present() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

bool RouteWindow::isTracing() const {
    return tracer_ != nullptr || lookup_->pending();
}

void RouteWindow::startTracing() {
    stopTracing();
    ++generation_;
    stored_ = false;
    messageLabel_->hide();
    host_ = text(settings_.value().host);
    showResult(RouteResult{});
    updateTitle();
    const std::string host = settings_.value().host;
    if (host.empty()) {
        sourceLabel_->clear();
        showError(QStringLiteral("No host to trace: enter one in Options."));
        updateControls();
        return;
    }
    if (source_.runningTarget)
        if (const std::optional<IpAddress> running = source_.runningTarget()) {
            beginTrace(*running);
            return;
        }

    // The lookup a run's start makes, so that the trace goes where a run would.
    lookup_->find(host, false, [this](const LookupAnswer& answer) {
        if (answer.found()) {
            beginTrace(answer.address);
            return;
        }
        sourceLabel_->clear();
        showError(QStringLiteral("Host not found: %1").arg(host_));
        updateControls();
    });
    if (lookup_->pending()) {
        sourceLabel_->setText(QStringLiteral("Looking up %1...").arg(host_));
        updateControls();
    }
}

void RouteWindow::beginTrace(const IpAddress& target) {
    const std::uint64_t generation = ++generation_;
    tracer_ = std::make_unique<RouteTracer>(preference_);
    finalResult_ = RouteResult{};
    finalResult_.destination = target;
    shown_.destination = target;
    RouteTracer* tracer = tracer_.get();
    try {
        thread_ = std::thread([this, tracer, target, generation] {
            RouteTracer::Options options;
            options.rounds = std::numeric_limits<std::uint32_t>::max(); // until stopped
            std::string error;
            RouteResult result;
            result.destination = target;
            if (!tracer->open(target.family)) {
                error = "Can't open an ICMP socket: " + tracer->error();
            } else {
                result = tracer->trace(target, options, [this, generation](const RouteResult& round) {
                    QMetaObject::invokeMethod(
                        this,
                        [this, generation, round] {
                            if (generation == generation_)
                                showResult(round);
                        },
                        Qt::QueuedConnection);
                });
                error = tracer->error();
            }
            finalResult_ = std::move(result);
            QMetaObject::invokeMethod(
                this,
                [this, generation, error = QString::fromStdString(error)] {
                    if (generation != generation_)
                        return;
                    traceEnded();
                    if (!error.isEmpty())
                        showError(error);
                },
                Qt::QueuedConnection);
        });
    } catch (const std::system_error& e) {
        tracer_.reset();
        showError(QStringLiteral("Can't start the trace: %1").arg(QString::fromLocal8Bit(e.what())));
        updateControls();
        return;
    }
    sourceLabel_->setText(QStringLiteral("Tracing %1").arg(hostAndAddress(host_, target)));
    updateControls();
}

void RouteWindow::joinTrace() {
    if (thread_.joinable())
        thread_.join();
}

void RouteWindow::traceEnded() {
    joinTrace();
    tracer_.reset();
    ++generation_; // rounds still queued are older than what the trace ended with
    showResult(finalResult_);
    sourceLabel_->setText(QStringLiteral("Traced %1").arg(hostAndAddress(host_, finalResult_.destination)));
    updateControls();
}

void RouteWindow::stopTracing() {
    if (lookup_->pending()) {
        lookup_->cancel();
        sourceLabel_->clear();
    }
    if (tracer_) {
        tracer_->stop();
        traceEnded();
    }
    updateControls();
}

void RouteWindow::showStored(const RouteResult& result, std::int64_t unixMs, const QString& host) {
    stopTracing();
    ++generation_;
    stored_ = true;
    host_ = host;
    messageLabel_->hide();
    showResult(result);
    sourceLabel_->setText(
        QStringLiteral("Stored trace of %1, taken %2")
            .arg(hostAndAddress(host, result.destination),
                 QDateTime::fromMSecsSinceEpoch(unixMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    updateTitle();
    updateControls();
    present();
}

void RouteWindow::showResult(const RouteResult& result) {
    shown_ = result;
    path_->timeline()->setChosen(std::nullopt); // until a moment of the path is what is shown
    std::uint32_t scaleUs = 0;
    for (const RouteHop& hop : shown_.hops)
        if (!hop.neverAnswered())
            scaleUs = std::max(scaleUs, hop.worstUs);
    bars_->setScale(scaleUs);

    const int rows = static_cast<int>(shown_.hops.size());
    while (table_->topLevelItemCount() > rows)
        delete table_->takeTopLevelItem(table_->topLevelItemCount() - 1);
    while (table_->topLevelItemCount() < rows) {
        auto* item = new QTreeWidgetItem(table_);
        for (int column = HopColumn; column < LatencyColumn; ++column)
            if (column != AddressColumn)
                item->setTextAlignment(column, Qt::AlignRight | Qt::AlignTop);
        item->setTextAlignment(AddressColumn, Qt::AlignLeft | Qt::AlignTop);
    }
    for (int row = 0; row < rows; ++row) {
        const RouteHop& hop = shown_.hops[static_cast<std::size_t>(row)];
        QTreeWidgetItem* item = table_->topLevelItem(row);
        const auto set = [item](int column, const QString& value) {
            if (item->text(column) != value)
                item->setText(column, value);
        };
        set(HopColumn, QString::number(hop.number));
        set(AddressColumn, addressesText(hop));
        set(LossColumn, text(RouteText::lossPercent(hop)));
        set(SentColumn, QString::number(hop.sent));
        const std::uint32_t times[] = {hop.lastUs, hop.averageUs, hop.bestUs, hop.worstUs, hop.stdDevUs};
        for (int column = LastColumn; column <= StdDevColumn; ++column)
            set(column,
                hop.neverAnswered() ? QStringLiteral("-") : text(RouteText::milliseconds(times[column - LastColumn])));
        const QString silent =
            hop.neverAnswered() && hop.sent != 0
                ? QStringLiteral("No answer from this hop: a router that does not answer, not loss of the path")
                : QString();
        item->setToolTip(AddressColumn, silent);
        item->setToolTip(LossColumn, silent);
    }
    table_->viewport()->update();

    // A round is reported once all its requests are in, when the first hop may have answered the next rounds
    // already: the count shown is the first hop's, so that it always agrees with that hop's Snt.
    const std::uint32_t rounds = shown_.hops.empty() ? shown_.rounds : std::max(shown_.rounds, shown_.hops[0].sent);
    roundsLabel_->setText(QStringLiteral("Rounds: %1").arg(rounds));
    lossLabel_->setText(shown_.hops.empty() ? QString() : text(RouteText::lossSentence(shown_)));
}

void RouteWindow::showError(const QString& message) {
    messageLabel_->setText(message);
    messageLabel_->show();
}

void RouteWindow::fitToStyle() {
    const QFontMetrics metrics = table_->fontMetrics();
    table_->header()->setMinimumSectionSize(metrics.horizontalAdvance(QStringLiteral("0000.0")));
    // Wide enough for its bar to read at a glance.
    table_->header()->resizeSection(LossColumn, metrics.horizontalAdvance(QStringLiteral("100.0%")) * 2);
    // Legible on a light and on a dark window alike.
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    messageLabel_->setStyleSheet(dark ? QStringLiteral("color: #ff7b72") : QStringLiteral("color: #b42318"));
}

void RouteWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)
        fitToStyle();
    QWidget::changeEvent(event);
}

void RouteWindow::updateControls() {
    startButton_->setText(isTracing() ? QStringLiteral("S&top") : QStringLiteral("&Start"));
}

void RouteWindow::updateTitle() {
    setWindowTitle(QStringLiteral("Route - ") + host_);
    path_->setHost(host_);
}

void RouteWindow::followSettings(const SettingsChange& change) {
    // The title names what the table shows; with nothing shown yet it follows the host of the settings.
    if (change.fields.contains(SettingId::Host) && !isTracing() && !stored_ && shown_.hops.empty()) {
        host_ = text(settings_.value().host);
        updateTitle();
    }
}

void RouteWindow::setPathSource(PathSource source) {
    path_->setSource(std::move(source));
}

bool RouteWindow::showKeptPath() {
    path_->refresh();
    return showPathAt(std::numeric_limits<std::int64_t>::max());
}

bool RouteWindow::showPathAt(std::int64_t atMs) {
    const std::optional<PathPanel::Moment> moment = path_->momentAt(atMs);
    if (!moment)
        return false;
    showStored(moment->path, moment->minuteMs, host_);
    path_->timeline()->setChosen(moment->minuteMs);
    return true;
}

std::optional<RouteWindow::LatencyBar> RouteWindow::latencyBar(const RouteHop& hop, std::uint32_t scaleUs, int width) {
    if (hop.neverAnswered() || scaleUs == 0 || width <= 0)
        return std::nullopt;
    const auto at = [scaleUs, width](std::uint32_t us) {
        const double x = std::round(static_cast<double>(std::min(us, scaleUs)) * (width - 1) / scaleUs);
        return static_cast<int>(x);
    };
    return LatencyBar{at(hop.bestUs), at(hop.worstUs), at(hop.averageUs)};
}

void RouteWindow::hideEvent(QHideEvent* event) {
    // Minimised is still open; closed or hidden, nobody watches the trace.
    if (!event->spontaneous())
        stopTracing();
    saveSize();
    QWidget::hideEvent(event);
}

void RouteWindow::restoreSize() {
    savedSize_ = text(settings_.value().routeWindowSize);
    resize(keptWindowSize(settings_.value().routeWindowSize, kDefaultSize, minimumSizeHint()));
}

void RouteWindow::saveSize() {
    const QString value = QStringLiteral("%1x%2").arg(width()).arg(height());
    if (value == savedSize_)
        return;
    savedSize_ = value;
    settings_.change([size = value.toStdString()](Settings& s) { s.routeWindowSize = size; });
}
