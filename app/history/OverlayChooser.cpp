#include "app/history/OverlayChooser.h"

#include <algorithm>

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace {

constexpr int kListRows = 16;

} // namespace

OverlayChooser::OverlayChooser(QMenu* menu) : QObject(menu), menu_(menu) {
    setObjectName(QStringLiteral("overlayChooser"));
    menu_->installEventFilter(this);

    auto* panel = new QWidget(menu_);
    filterBox_ = new QLineEdit(panel);
    filterBox_->setObjectName(QStringLiteral("overlayFilter"));
    filterBox_->setPlaceholderText(QStringLiteral("Filter hosts"));
    filterBox_->setClearButtonEnabled(true);
    list_ = new QListWidget(panel);
    list_->setObjectName(QStringLiteral("overlayList"));
    list_->setUniformItemSizes(true);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(filterBox_);
    layout->addWidget(list_);
    // Owned here, not by the menu, whose clear() would delete it.
    listAction_ = new QWidgetAction(this);
    listAction_->setDefaultWidget(panel);

    connect(filterBox_, &QLineEdit::textChanged, this, &OverlayChooser::filter);
    connect(list_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        const QString host = item->data(Qt::UserRole).toString();
        const bool on = item->checkState() == Qt::Checked;
        if (ticked_.contains(host) == on)
            return;
        ticked_.removeAll(host);
        if (on)
            ticked_ << host;
        Q_EMIT toggled(host, on);
    });
    // Typing goes to the filter as soon as the list opens.
    connect(menu_, &QMenu::aboutToShow, this, [this] {
        if (hosts_.size() > kMostInMenu)
            QTimer::singleShot(0, filterBox_, [this] { filterBox_->setFocus(Qt::PopupFocusReason); });
    });
}

void OverlayChooser::setHosts(const QStringList& hosts, const QString& shown) {
    hosts_ = hosts;
    shown_ = shown;
    if (hosts_.size() > kMostInMenu)
        fillList();
    else
        fillMenu();
}

void OverlayChooser::setShown(const QString& shown) {
    shown_ = shown;
    updateEnabled();
}

void OverlayChooser::setTicked(const QStringList& hosts) {
    ticked_ = hosts;
    for (QAction* action : menu_->actions()) {
        const QSignalBlocker quiet(action);
        action->setChecked(ticked_.contains(action->data().toString()));
    }
    const QSignalBlocker quiet(list_);
    for (int row = 0; row < list_->count(); ++row) {
        QListWidgetItem* item = list_->item(row);
        item->setCheckState(ticked_.contains(item->data(Qt::UserRole).toString()) ? Qt::Checked : Qt::Unchecked);
    }
}

void OverlayChooser::fillMenu() {
    menu_->clear();
    list_->clear();
    for (const QString& host : hosts_) {
        QAction* action = menu_->addAction(QString(host).replace(QLatin1Char('&'), QStringLiteral("&&")));
        action->setData(host);
        action->setCheckable(true);
        action->setChecked(ticked_.contains(host));
        connect(action, &QAction::toggled, this, [this, host](bool on) {
            ticked_.removeAll(host);
            if (on)
                ticked_ << host;
            Q_EMIT toggled(host, on);
        });
    }
    updateEnabled();
}

void OverlayChooser::fillList() {
    menu_->clear(); // leaves the list's action, which the menu does not own
    menu_->addAction(listAction_);
    const QSignalBlocker quiet(list_);
    list_->clear();
    for (const QString& host : hosts_) {
        auto* item = new QListWidgetItem(host, list_);
        item->setData(Qt::UserRole, host);
        item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        item->setCheckState(ticked_.contains(host) ? Qt::Checked : Qt::Unchecked);
    }
    const QFontMetrics metrics = list_->fontMetrics();
    int widest = 0;
    for (const QString& host : hosts_)
        widest = std::max(widest, metrics.horizontalAdvance(host));
    const int row = std::max(list_->sizeHintForRow(0), metrics.height());
    list_->setFixedHeight(row * kListRows + 2 * list_->frameWidth());
    list_->setMinimumWidth(std::min(widest, metrics.averageCharWidth() * 48) + metrics.height() * 3);
    filter(filterBox_->text());
    updateEnabled();
}

void OverlayChooser::filter(const QString& text) {
    const QString wanted = text.trimmed();
    for (int row = 0; row < list_->count(); ++row) {
        QListWidgetItem* item = list_->item(row);
        item->setHidden(!wanted.isEmpty() && !item->text().contains(wanted, Qt::CaseInsensitive));
    }
}

void OverlayChooser::updateEnabled() {
    for (QAction* action : menu_->actions())
        if (action != listAction_)
            action->setEnabled(action->data().toString() != shown_);
    const QSignalBlocker quiet(list_);
    for (int row = 0; row < list_->count(); ++row) {
        QListWidgetItem* item = list_->item(row);
        const bool chosen = item->data(Qt::UserRole).toString() == shown_;
        item->setFlags(chosen ? Qt::ItemIsUserCheckable : Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    }
}

bool OverlayChooser::eventFilter(QObject* watched, QEvent* event) {
    // A tick does not close the menu: the click or key toggles the entry and the menu stays for the next one.
    if (watched == menu_) {
        QAction* action = nullptr;
        if (event->type() == QEvent::MouseButtonRelease)
            action = menu_->actionAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)
                action = menu_->activeAction();
        }
        if (action != nullptr && action != listAction_ && action->isCheckable() && action->isEnabled()) {
            action->toggle();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
