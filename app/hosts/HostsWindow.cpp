#include "app/hosts/HostsWindow.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include "app/common/WindowSize.h"
#include "app/hosts/HostsProxyModel.h"
#include "app/hosts/Sparkline.h"

namespace {

// Wide enough for the default columns, so that a first opening shows every column without scrolling.
constexpr QSize kDefaultSize(840, 300);
constexpr std::array<int, HostsModel::kColumnCount> kDefaultColumns = {160, 110, 160, 75, 75, 75, 150};
constexpr int kMinColumn = 24;
constexpr int kMaxColumn = 4000;
// The recent line still reads at this width; the text columns give up their room only below it.
constexpr int kMinRecentColumn = 48;
// A confirmation names this many hosts and counts the rest.
constexpr int kMostNamed = 10;

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QPushButton* button(const QString& caption, const char* name, QWidget* parent) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

// "2,descending": the column sorted and its order; nothing when the text spells no column.
std::optional<std::pair<int, Qt::SortOrder>> keptSort(const std::string& kept) {
    const QStringList parts = text(kept).split(QLatin1Char(','));
    bool ok = false;
    const int column = parts.front().trimmed().toInt(&ok);
    if (!ok || column < 0 || column >= HostsModel::kColumnCount)
        return std::nullopt;
    const bool descending = parts.size() > 1 && parts[1].trimmed() == QLatin1String("descending");
    return std::pair{column, descending ? Qt::DescendingOrder : Qt::AscendingOrder};
}

} // namespace

HostsWindow::HostsWindow(AppSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window), settings_(&settings), model_(new HostsModel(this)),
      proxy_(new HostsProxyModel(*model_, this)) {
    setWindowTitle(QStringLiteral("Hosts"));
    setObjectName(QStringLiteral("HostsWindow"));

    filterEdit_ = new QLineEdit(this);
    filterEdit_->setObjectName(QStringLiteral("filterEdit"));
    filterEdit_->setPlaceholderText(QStringLiteral("Filter by host, address or status (Ctrl+F)"));
    filterEdit_->setClearButtonEnabled(true);
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        filterEdit_->setFocus(Qt::ShortcutFocusReason);
        filterEdit_->selectAll();
    });
    // Escape in the filter shows every host again, as in a browser's find bar.
    auto* clear = new QShortcut(QKeySequence(Qt::Key_Escape), filterEdit_, nullptr, nullptr, Qt::WidgetShortcut);
    connect(clear, &QShortcut::activated, filterEdit_, &QLineEdit::clear);
    connect(filterEdit_, &QLineEdit::textChanged, this, &HostsWindow::setFilterText);

    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("hostsTable"));
    table_->setModel(proxy_);
    table_->setItemDelegateForColumn(HostsModel::RecentColumn, new SparklineDelegate(table_));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideRight);
    table_->verticalHeader()->hide();
    QHeaderView* header = table_->horizontalHeader();
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    header->setMinimumSectionSize(kMinColumn);
    // A third click on a header gives back the list's own order, the main host first.
    header->setSortIndicatorClearable(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    table_->setSortingEnabled(true);
    table_->viewport()->installEventFilter(this);
    table_->installEventFilter(this); // Delete removes the selected hosts, as in a file manager

    countLabel_ = new QLabel(this);
    countLabel_->setObjectName(QStringLiteral("countLabel"));

    addButton_ = button(QStringLiteral("&Add..."), "addButton", this);
    editButton_ = button(QStringLiteral("&Edit..."), "editButton", this);
    removeButton_ = button(QStringLiteral("&Remove"), "removeButton", this);
    startButton_ = button(QStringLiteral("&Start"), "startButton", this);
    stopButton_ = button(QStringLiteral("S&top"), "stopButton", this);
    startAllButton_ = button(QStringLiteral("Start a&ll"), "startAllButton", this);
    stopAllButton_ = button(QStringLiteral("Stop all"), "stopAllButton", this);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {addButton_, editButton_, removeButton_})
        buttons->addWidget(b);
    buttons->addStretch(1);
    for (QPushButton* b : {startButton_, stopButton_, startAllButton_, stopAllButton_})
        buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(filterEdit_);
    layout->addWidget(table_, 1);
    layout->addWidget(countLabel_);
    layout->addLayout(buttons);

    connect(addButton_, &QPushButton::clicked, this, &HostsWindow::addRequested);
    connect(editButton_, &QPushButton::clicked, this, [this] {
        if (const std::optional<RunId> id = selectedId())
            Q_EMIT editRequested(*id);
    });
    connect(removeButton_, &QPushButton::clicked, this, [this] { remove(selectedIds()); });
    // Each selected host that can take it; the others are already as asked.
    connect(startButton_, &QPushButton::clicked, this, [this] {
        for (RunId id : selectedIds())
            if (const WatchedHost* host = model_->hostById(id); host != nullptr && !host->running)
                Q_EMIT startRequested(id);
    });
    connect(stopButton_, &QPushButton::clicked, this, [this] {
        for (RunId id : selectedIds())
            if (const WatchedHost* host = model_->hostById(id); host != nullptr && host->running)
                Q_EMIT stopRequested(id);
    });
    connect(startAllButton_, &QPushButton::clicked, this, &HostsWindow::startAllRequested);
    connect(stopAllButton_, &QPushButton::clicked, this, &HostsWindow::stopAllRequested);
    connect(table_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (const WatchedHost* host = proxy_->host(index))
            Q_EMIT historyRequested(host->id);
    });
    connect(table_, &QTableView::customContextMenuRequested, this, &HostsWindow::showMenuAt);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &HostsWindow::updateButtons);
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int width) {
        if (!fittingColumns_ && column < HostsModel::RecentColumn)
            wantedColumns_[static_cast<std::size_t>(column)] = width;
    });
    // A host the filter hides or shows again changes what the line under the list says.
    connect(proxy_, &QAbstractItemModel::rowsInserted, this, &HostsWindow::updateCount);
    connect(proxy_, &QAbstractItemModel::rowsRemoved, this, &HostsWindow::updateCount);
    connect(proxy_, &QAbstractItemModel::modelReset, this, &HostsWindow::updateCount);

    restoreLayout();
    updateButtons();
    updateCount();
}

HostsWindow::~HostsWindow() {
    // Going with the program while shown, the window never hides first.
    if (isVisible())
        keepLayout();
}

void HostsWindow::setHosts(const std::vector<WatchedHost>& hosts) {
    const std::vector<RunId> selected = selectedIds();
    model_->setHosts(hosts);
    shownStates_.clear();
    for (const WatchedHost& host : hosts)
        shownStates_.emplace(host.id, ShownState{host.running, host.main, host.status});
    QItemSelection selection;
    for (RunId id : selected)
        if (const std::optional<int> row = model_->rowOf(id)) {
            const QModelIndex index = proxy_->mapFromSource(model_->index(*row, 0));
            if (index.isValid())
                selection.select(index, index);
        }
    if (!selection.isEmpty())
        table_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    updateButtons();
    updateCount();
}

void HostsWindow::updateHost(RunId id) {
    const WatchedHost* host = model_->hostById(id);
    if (host == nullptr)
        return;
    // A probe changes the figures; only a start, a stop, a new main host or a new status changes what the
    // buttons allow and the count says.
    ShownState& shown = shownStates_[id];
    const ShownState now{host->running, host->main, host->status};
    const bool buttonsFollow = shown.running != now.running || shown.main != now.main;
    const bool countFollows = shown.running != now.running || shown.status != now.status;
    shown = now;
    model_->updateHost(id);
    if (buttonsFollow)
        updateButtons();
    if (countFollows)
        updateCount();
}

const WatchedHost* HostsWindow::hostAt(int viewRow) const {
    return proxy_->host(proxy_->index(viewRow, 0));
}

std::vector<RunId> HostsWindow::selectedIds() const {
    QModelIndexList rows = table_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<RunId> ids;
    for (const QModelIndex& index : rows)
        // The list as last told: the owner changes its list before it tells.
        if (const std::optional<RunId> id = model_->idAt(proxy_->mapToSource(index).row()))
            ids.push_back(*id);
    return ids;
}

std::optional<RunId> HostsWindow::selectedId() const {
    const std::vector<RunId> ids = selectedIds();
    if (ids.empty())
        return std::nullopt;
    return ids.front();
}

void HostsWindow::selectHost(RunId id) {
    const std::optional<int> row = model_->rowOf(id);
    if (!row)
        return;
    const QModelIndex index = proxy_->mapFromSource(model_->index(*row, 0));
    if (!index.isValid())
        return; // filtered out
    table_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    table_->scrollTo(index);
}

void HostsWindow::setFilterText(const QString& filter) {
    if (filterEdit_->text() != filter)
        filterEdit_->setText(filter); // comes back here through textChanged
    proxy_->setFilterText(filter);
    updateButtons();
    updateCount();
}

QString HostsWindow::countText() const {
    return proxy_->summary();
}

void HostsWindow::updateCount() {
    const QString count = proxy_->summary();
    if (countLabel_->text() != count)
        countLabel_->setText(count);
}

// A running host is started again with its new settings. The main host follows the main window's Options,
// which change its fields only between its runs.
bool HostsWindow::editable(const WatchedHost& host) {
    return !(host.main && host.running);
}

void HostsWindow::updateButtons() {
    const std::vector<RunId> ids = selectedIds();
    bool removable = false;
    bool startable = false;
    bool stoppable = false;
    for (RunId id : ids)
        if (const WatchedHost* host = model_->hostById(id)) {
            removable = removable || !host->main;
            startable = startable || !host->running;
            stoppable = stoppable || host->running;
        }
    const WatchedHost* single = ids.size() == 1 ? model_->hostById(ids.front()) : nullptr;
    editButton_->setEnabled(single != nullptr && editable(*single));
    removeButton_->setEnabled(removable);
    startButton_->setEnabled(startable);
    stopButton_->setEnabled(stoppable);
    const std::vector<WatchedHost>& hosts = model_->hosts();
    startAllButton_->setEnabled(std::any_of(hosts.begin(), hosts.end(), [](const auto& h) { return !h.running; }));
    stopAllButton_->setEnabled(std::any_of(hosts.begin(), hosts.end(), [](const auto& h) { return h.running; }));
}

void HostsWindow::remove(const std::vector<RunId>& ids) {
    // The main host stays whatever else is selected with it: it is the main window's.
    std::vector<RunId> going;
    QStringList names;
    for (RunId id : ids)
        if (const WatchedHost* host = model_->hostById(id); host != nullptr && !host->main) {
            going.push_back(id);
            names << text(host->settings.host);
        }
    if (going.empty() || !confirmRemove(names))
        return;
    for (RunId id : going)
        Q_EMIT removeRequested(id);
}

bool HostsWindow::confirmRemove(const QStringList& hosts) {
    QString question;
    if (hosts.size() == 1) {
        question = QStringLiteral("Stop watching %1 and remove it from the list?").arg(hosts.front());
    } else {
        QStringList named = hosts.mid(0, kMostNamed);
        if (hosts.size() > kMostNamed)
            named << QStringLiteral("and %1 more").arg(hosts.size() - kMostNamed);
        question = QStringLiteral("Stop watching these %1 hosts and remove them from the list?\n\n%2")
                       .arg(hosts.size())
                       .arg(named.join(QLatin1Char('\n')));
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Remove Hosts"), question, QMessageBox::NoButton, this);
    QPushButton* yes = box.addButton(QStringLiteral("&Remove"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == yes;
}

void HostsWindow::fillHostMenu(QMenu& menu, RunId id) {
    const WatchedHost* host = model_->hostById(id);
    if (host == nullptr)
        return;
    const bool running = host->running;
    const bool main = host->main;
    QAction* edit = menu.addAction(QStringLiteral("&Edit..."), this, [this, id] { Q_EMIT editRequested(id); });
    edit->setEnabled(editable(*host));
    if (running)
        menu.addAction(QStringLiteral("S&top"), this, [this, id] { Q_EMIT stopRequested(id); });
    else
        menu.addAction(QStringLiteral("&Start"), this, [this, id] { Q_EMIT startRequested(id); });
    QAction* removeAction = menu.addAction(QStringLiteral("&Remove"), this, [this, id] { remove({id}); });
    removeAction->setEnabled(!main);
    menu.addAction(QStringLiteral("&History"), this, [this, id] { Q_EMIT historyRequested(id); });
    if (!main) {
        menu.addSeparator();
        menu.addAction(QStringLiteral("Make &main host"), this, [this, id] { Q_EMIT makeMainRequested(id); });
    }
}

void HostsWindow::showMenuAt(const QPoint& position) {
    const QModelIndex index = table_->indexAt(position);
    const WatchedHost* host = proxy_->host(index);
    if (host == nullptr)
        return;
    selectHost(host->id);
    QMenu menu(this);
    fillHostMenu(menu, host->id);
    menu.exec(table_->viewport()->mapToGlobal(position));
}

void HostsWindow::restoreLayout() {
    openedSize_ = keptWindowSize(settings_->value().hostsWindowSize, kDefaultSize, minimumSizeHint());
    resize(openedSize_);

    // Widths the text does not spell are the defaults, one by one; the last column takes what is left.
    const QStringList kept = text(settings_->value().hostsWindowColumns).split(QLatin1Char(','));
    for (int column = 0; column < HostsModel::kColumnCount; ++column) {
        bool ok = false;
        int width = column < kept.size() ? kept[column].trimmed().toInt(&ok) : 0;
        if (!ok || width < kMinColumn || width > kMaxColumn)
            width = kDefaultColumns[static_cast<std::size_t>(column)];
        wantedColumns_[static_cast<std::size_t>(column)] = width;
        table_->setColumnWidth(column, width);
    }

    if (const auto sort = keptSort(settings_->value().hostsWindowSort))
        table_->sortByColumn(sort->first, sort->second);
}

// The text columns keep the widths wanted while the window has room for them and the recent line; in a
// narrower window they narrow together (their texts elided) and the line takes what is left, so that no
// column hides behind a scroll bar at the window's default size, at any scale.
void HostsWindow::fitColumns() {
    const int available = table_->viewport()->width();
    if (available == fittedWidth_)
        return;
    fittedWidth_ = available;
    int wanted = 0;
    for (int column = 0; column < HostsModel::RecentColumn; ++column)
        wanted += wantedColumns_[static_cast<std::size_t>(column)];
    const double scale = wanted + kMinRecentColumn <= available
                             ? 1.0
                             : std::max(0, available - kMinRecentColumn) / static_cast<double>(wanted);
    fittingColumns_ = true;
    // The header never stretches its last column below the width it had: the line starts from its least.
    table_->setColumnWidth(HostsModel::RecentColumn, kMinRecentColumn);
    for (int column = 0; column < HostsModel::RecentColumn; ++column)
        table_->setColumnWidth(
            column, std::max(kMinColumn,
                             static_cast<int>(std::floor(wantedColumns_[static_cast<std::size_t>(column)] * scale))));
    fittingColumns_ = false;
}

bool HostsWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == table_->viewport() && event->type() == QEvent::Resize)
        fitColumns();
    if (watched == table_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Delete)) {
        remove(selectedIds());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void HostsWindow::keepLayout() {
    // A window owned by the main window may outlive the settings it owns, as the two are taken down.
    if (settings_.isNull())
        return;
    // A maximised window keeps the size it comes back to; a size the screen bounded is not the user's.
    const QSize left = isMaximized() || isFullScreen() ? normalGeometry().size() : size();
    const std::string size = left == openedSize_
                                 ? settings_->value().hostsWindowSize
                                 : QStringLiteral("%1x%2").arg(left.width()).arg(left.height()).toStdString();
    QStringList widths;
    for (int column = 0; column < HostsModel::kColumnCount; ++column)
        widths << QString::number(wantedColumns_[static_cast<std::size_t>(column)]);
    const std::string columns = widths.join(QLatin1Char(',')).toStdString();
    const QHeaderView* header = table_->horizontalHeader();
    const int sorted = header->sortIndicatorSection();
    const std::string sort =
        sorted < 0 || sorted >= HostsModel::kColumnCount
            ? std::string()
            : QStringLiteral("%1,%2")
                  .arg(sorted)
                  .arg(header->sortIndicatorOrder() == Qt::DescendingOrder ? QStringLiteral("descending")
                                                                           : QStringLiteral("ascending"))
                  .toStdString();
    // Only a change is announced, and no value is one the options confirm: the file gets them at exit.
    settings_->change([&](Settings& s) {
        s.hostsWindowSize = size;
        s.hostsWindowColumns = columns;
        s.hostsWindowSort = sort;
    });
}

void HostsWindow::hideEvent(QHideEvent* event) {
    keepLayout();
    QWidget::hideEvent(event);
}
