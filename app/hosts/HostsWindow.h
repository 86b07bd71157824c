#pragma once

#include <array>
#include <optional>
#include <unordered_map>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "monitor/WatchedHost.h"

#include "app/common/AppSettings.h"
#include "app/hosts/HostsModel.h"

class HostsProxyModel;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;

// Every watched host side by side, the main host first: its light, host and address, status and since when,
// last round trip, loss and average over the run, and a line of its recent round trips. Any column sorts on a
// click of its header, a filter narrows the list, and a line under it counts the hosts by status. Non-modal. It
// asks for what the user wants (add, edit, start ...) by its signals, once per host of the selection, and
// changes no host itself; its owner sends back the new list or the changed host.
//
// Its size, column widths and sort are kept in the settings ("HostsWindowSize", "HostsWindowColumns",
// "HostsWindowSort") when it hides and when it goes while shown; an owner that saves the settings while the
// window is still up calls keepLayout() first. Settings that went before the window are left alone.
class HostsWindow : public QWidget {
    Q_OBJECT
public:
    explicit HostsWindow(AppSettings& settings, QWidget* parent = nullptr);
    ~HostsWindow() override;

    // The whole list, main host first. The selected hosts stay selected when they are still in the list.
    void setHosts(const std::vector<WatchedHost>& hosts);
    // One host's values changed (found by its id); only its row is repainted.
    void updateHost(RunId id);

    // The first selected host as the rows show, and every selected one.
    [[nodiscard]] std::optional<RunId> selectedId() const;
    [[nodiscard]] std::vector<RunId> selectedIds() const;
    void selectHost(RunId id);
    // The context menu of a host, as a right click on its row shows it.
    void fillHostMenu(QMenu& menu, RunId id);
    // Puts the size, the column widths and the sort into the settings when they changed.
    void keepLayout();
    // Narrows the rows to the hosts whose name, address or status holds `text`, as typing in the filter does.
    void setFilterText(const QString& text);
    // The line under the list: "51 hosts: 3 Bad, 1 Average, 45 Good, 2 stopped".
    [[nodiscard]] QString countText() const;

    [[nodiscard]] HostsModel& model() const { return *model_; }
    [[nodiscard]] HostsProxyModel& rows() const { return *proxy_; }
    [[nodiscard]] QTableView& table() const { return *table_; }

Q_SIGNALS:
    void addRequested();
    void editRequested(RunId id);
    void removeRequested(RunId id);
    void startRequested(RunId id);
    void stopRequested(RunId id);
    void startAllRequested();
    void stopAllRequested();
    void historyRequested(RunId id);
    void makeMainRequested(RunId id);

protected:
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Asks before hosts go from the list; tests answer for the user.
    [[nodiscard]] virtual bool confirmRemove(const QStringList& hosts);

private:
    // What the buttons and the count were last set from, per host: a probe that changes none of it leaves them
    // alone.
    struct ShownState {
        bool running = false;
        bool main = false;
        HostStatus status = HostStatus::NA;
    };

    void updateButtons();
    void updateCount();
    [[nodiscard]] static bool editable(const WatchedHost& host);
    void remove(const std::vector<RunId>& ids);
    void restoreLayout();
    void fitColumns();
    void showMenuAt(const QPoint& position);
    [[nodiscard]] const WatchedHost* hostAt(int viewRow) const;

    QPointer<AppSettings> settings_;
    HostsModel* model_ = nullptr;
    HostsProxyModel* proxy_ = nullptr;
    QLineEdit* filterEdit_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* countLabel_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* editButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QPushButton* startAllButton_ = nullptr;
    QPushButton* stopAllButton_ = nullptr;
    std::unordered_map<RunId, ShownState> shownStates_;
    // The widths the user chose (or the defaults): the columns show them, narrowed while the window is too
    // narrow for them, and these are what is kept.
    std::array<int, HostsModel::kColumnCount> wantedColumns_{};
    bool fittingColumns_ = false;
    int fittedWidth_ = -1;
    // The size the window opened with and the text it came from: a size bounded by a smaller screen is not
    // the user's, and the text stays as it was until the user resizes the window.
    QSize openedSize_;
};
