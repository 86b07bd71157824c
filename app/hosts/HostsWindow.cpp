#include "app/hosts/HostsWindow.h"

#include <algorithm>
#include <array>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include "app/hosts/HostsModel.h"
#include "app/hosts/Sparkline.h"
#include "app/common/WindowSize.h"

namespace {

// Wide enough for the default columns, so that a first opening shows every column without scrolling.
constexpr QSize kDefaultSize(840, 300);
constexpr std::array<int, HostsModel::kColumnCount> kDefaultColumns = {160, 110, 160, 75, 75, 75, 150};
constexpr int kMinColumn = 24;
constexpr int kMaxColumn = 4000;

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QPushButton* button(const QString& caption, const char* name, QWidget* parent) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

HostsWindow::HostsWindow(AppSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window), settings_(&settings), model_(new HostsModel(this)) {
    setWindowTitle(QStringLiteral("Hosts"));
    setObjectName(QStringLiteral("HostsWindow"));

    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("hostsTable"));
    table_->setModel(model_);
    table_->setItemDelegateForColumn(HostsModel::RecentColumn, new SparklineDelegate(table_));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideRight);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setHighlightSections(false);
    table_->horizontalHeader()->setMinimumSectionSize(kMinColumn);

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
    layout->addWidget(table_, 1);
    layout->addLayout(buttons);

    connect(addButton_, &QPushButton::clicked, this, &HostsWindow::addRequested);
    connect(editButton_, &QPushButton::clicked, this, [this] { emitFor(&HostsWindow::editRequested); });
    connect(removeButton_, &QPushButton::clicked, this, [this] { emitFor(&HostsWindow::removeRequested); });
    connect(startButton_, &QPushButton::clicked, this, [this] { emitFor(&HostsWindow::startRequested); });
    connect(stopButton_, &QPushButton::clicked, this, [this] { emitFor(&HostsWindow::stopRequested); });
    connect(startAllButton_, &QPushButton::clicked, this, &HostsWindow::startAllRequested);
    connect(stopAllButton_, &QPushButton::clicked, this, &HostsWindow::stopAllRequested);
    connect(table_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (const WatchedHost* host = model_->host(index.row()))
            Q_EMIT historyRequested(host->id);
    });
    connect(table_, &QTableView::customContextMenuRequested, this, &HostsWindow::showMenuAt);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &HostsWindow::updateButtons);

    restoreLayout();
    updateButtons();
}

HostsWindow::~HostsWindow() {
    // Going with the program while shown, the window never hides first.
    if (isVisible())
        keepLayout();
}

void HostsWindow::setHosts(const std::vector<WatchedHost>& hosts) {
    const std::optional<RunId> selected = selectedId();
    model_->setHosts(hosts);
    buttonStates_.clear();
    for (const WatchedHost& host : hosts)
        buttonStates_.emplace(host.id, ButtonState{host.running, host.main});
    if (selected)
        selectHost(*selected);
    updateButtons();
}

void HostsWindow::updateHost(RunId id) {
    const WatchedHost* host = model_->hostById(id);
    if (host == nullptr)
        return;
    // A probe changes the figures; only a start, a stop or a new main host changes what the buttons allow.
    ButtonState& shown = buttonStates_[id];
    const ButtonState now{host->running, host->main};
    const bool buttonsFollow = shown.running != now.running || shown.main != now.main;
    shown = now;
    model_->updateHost(id);
    if (buttonsFollow)
        updateButtons();
}

std::optional<RunId> HostsWindow::selectedId() const {
    const QModelIndexList rows = table_->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return std::nullopt;
    return model_->idAt(rows.front().row());
}

void HostsWindow::selectHost(RunId id) {
    if (const std::optional<int> row = model_->rowOf(id))
        table_->selectRow(*row);
}

void HostsWindow::emitFor(void (HostsWindow::*signal)(RunId)) {
    if (const std::optional<RunId> id = selectedId())
        Q_EMIT(this->*signal)(*id);
}

// A running host is started again with its new settings. The main host follows the main window's Options,
// which change its fields only between its runs.
bool HostsWindow::editable(const WatchedHost& host) {
    return !(host.main && host.running);
}

void HostsWindow::updateButtons() {
    const std::optional<RunId> id = selectedId();
    const WatchedHost* host = id ? model_->hostById(*id) : nullptr;
    editButton_->setEnabled(host != nullptr && editable(*host));
    removeButton_->setEnabled(host != nullptr && !host->main);
    startButton_->setEnabled(host != nullptr && !host->running);
    stopButton_->setEnabled(host != nullptr && host->running);
    const std::vector<WatchedHost>& hosts = model_->hosts();
    startAllButton_->setEnabled(std::any_of(hosts.begin(), hosts.end(), [](const auto& h) { return !h.running; }));
    stopAllButton_->setEnabled(std::any_of(hosts.begin(), hosts.end(), [](const auto& h) { return h.running; }));
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
    QAction* remove = menu.addAction(QStringLiteral("&Remove"), this, [this, id] { Q_EMIT removeRequested(id); });
    remove->setEnabled(!main);
    menu.addAction(QStringLiteral("&History"), this, [this, id] { Q_EMIT historyRequested(id); });
    if (!main) {
        menu.addSeparator();
        menu.addAction(QStringLiteral("Make &main host"), this, [this, id] { Q_EMIT makeMainRequested(id); });
    }
}

void HostsWindow::showMenuAt(const QPoint& position) {
    const QModelIndex index = table_->indexAt(position);
    const WatchedHost* host = model_->host(index.row());
    if (host == nullptr)
        return;
    table_->selectRow(index.row());
    QMenu menu(this);
    fillHostMenu(menu, host->id);
    menu.exec(table_->viewport()->mapToGlobal(position));
}

void HostsWindow::restoreLayout() {
    resize(keptWindowSize(settings_->value().hostsWindowSize, kDefaultSize, minimumSizeHint()));

    // Widths the text does not spell are the defaults, one by one; the last column takes what is left.
    const QStringList kept = text(settings_->value().hostsWindowColumns).split(QLatin1Char(','));
    for (int column = 0; column < HostsModel::kColumnCount; ++column) {
        bool ok = false;
        int width = column < kept.size() ? kept[column].trimmed().toInt(&ok) : 0;
        if (!ok || width < kMinColumn || width > kMaxColumn)
            width = kDefaultColumns[static_cast<std::size_t>(column)];
        table_->setColumnWidth(column, width);
    }
}

void HostsWindow::keepLayout() {
    // A window owned by the main window may outlive the settings it owns, as the two are taken down.
    if (settings_.isNull())
        return;
    const std::string size = QStringLiteral("%1x%2").arg(width()).arg(height()).toStdString();
    QStringList widths;
    for (int column = 0; column < HostsModel::kColumnCount; ++column)
        widths << QString::number(table_->columnWidth(column));
    const std::string columns = widths.join(QLatin1Char(',')).toStdString();
    // Only a change is announced, and neither value is one the options confirm: the file gets them at exit.
    settings_->change([&](Settings& s) {
        s.hostsWindowSize = size;
        s.hostsWindowColumns = columns;
    });
}

void HostsWindow::hideEvent(QHideEvent* event) {
    keepLayout();
    QWidget::hideEvent(event);
}
