#pragma once

#include <optional>
#include <unordered_map>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "monitor/WatchedHost.h"

#include "app/common/AppSettings.h"

class HostsModel;
class QMenu;
class QPushButton;
class QTableView;

// Every watched host side by side, the main host first: its light, host and address, status and since when,
// last round trip, loss and average over the run, and a line of its recent round trips. Non-modal. It asks
// for what the user wants (add, edit, start ...) by its signals and changes no host itself; its owner sends
// back the new list or the changed host.
//
// Its size and column widths are kept in the settings ("HostsWindowSize", "HostsWindowColumns") when it hides
// and when it goes while shown; an owner that saves the settings while the window is still up calls
// keepLayout() first. Settings that went before the window are left alone.
class HostsWindow : public QWidget {
    Q_OBJECT
public:
    explicit HostsWindow(AppSettings& settings, QWidget* parent = nullptr);
    ~HostsWindow() override;

    // The whole list, main host first. The selected host stays selected when it is still in the list.
    void setHosts(const std::vector<WatchedHost>& hosts);
    // One host's values changed (found by its id); only its row is repainted.
    void updateHost(RunId id);

    [[nodiscard]] std::optional<RunId> selectedId() const;
    void selectHost(RunId id);
    // The context menu of a host, as a right click on its row shows it.
    void fillHostMenu(QMenu& menu, RunId id);
    // Puts the size and the column widths into the settings when they changed.
    void keepLayout();

    [[nodiscard]] HostsModel& model() const { return *model_; }
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

private:
    // What the buttons were last set from, per host: a probe that changes neither leaves them alone.
    struct ButtonState {
        bool running = false;
        bool main = false;
    };

    void updateButtons();
    [[nodiscard]] static bool editable(const WatchedHost& host);
    void restoreLayout();
    void showMenuAt(const QPoint& position);
    void emitFor(void (HostsWindow::*signal)(RunId));

    QPointer<AppSettings> settings_;
    HostsModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* editButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QPushButton* startAllButton_ = nullptr;
    QPushButton* stopAllButton_ = nullptr;
    std::unordered_map<RunId, ButtonState> buttonStates_;
};
