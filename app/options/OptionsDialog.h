#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include <vector>

#include "settings/Settings.h"
#include "settings/SettingsFields.h"

class DrawnForm;
class HostLookup;
class HostResolver;
class QLabel;
namespace Ui {
class OptionsDialog;
}

// The two-page options dialog. Filled from a copy of the settings on construction; it changes nothing
// itself: edited() gives the settings as its controls say, with the dialog's normalisation rules, for the
// settings' owner to take on OK.
class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    OptionsDialog(QWidget* owner, const Settings& settings);
    ~OptionsDialog() override;

    [[nodiscard]] Settings edited() const;
    // The box shows whether an autostart entry is there, which is what the session will do, whatever the
    // setting says; OK then makes entry and setting agree. Without this call the box shows the setting.
    void showAutostartEntry(bool exists);
    // Only the fields each watched host has its own value of (address, payload, interval, analysis, log,
    // sounds, alert program): the program-wide ones are hidden, and edited() keeps them as they were.
    void setHostMode(bool hostOnly);
    [[nodiscard]] bool hostMode() const { return hostMode_; }
    // Says whether a host is already watched (by another entry than the one being edited). OK with such a
    // host explains why it cannot be taken and leaves the dialog open, the typed host as it was.
    void setWatchedCheck(std::function<bool(const std::string& host)> alreadyWatched);
    // Looks a new host up before OK takes it: a name the name service does not know is said at once and the
    // dialog stays open, the typed host as it was. A host left as it was is not looked up again.
    void setHostCheck(std::shared_ptr<HostResolver> resolver);
    [[nodiscard]] bool checkingHost() const;
    void accept() override;
    // The controls of a field; none for fields the dialog does not show.
    [[nodiscard]] std::vector<QWidget*> controlsOf(SettingId id) const;
    [[nodiscard]] Ui::OptionsDialog* ui() const { return ui_.get(); } // for tests

    // Control handlers, named after their control and event.
    void clearRecentList();
    void browseSound(bool startSound);
    void browseApplication();
    void browseLogFile();
    void showLogLevel();
    void updateAnalysisControls();
    void updatePathControls();
    void insertPlaceholder(const QLabel* placeholder);

protected:
    // The confirmation box and the file pickers; tests replace them. An empty path means cancelled.
    [[nodiscard]] virtual bool confirmClearRecent();
    [[nodiscard]] virtual QString pickSoundFile(const QString& title, const QString& current);
    [[nodiscard]] virtual QString pickApplication(const QString& current);
    [[nodiscard]] virtual QString pickLogFile(const QString& current);
    virtual void showRefusal(const QString& text);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fill();
    void fitToPages();
    // Scales the drawn form for the dialog's font (the desktop's), so that no caption is cut off.
    void fitToFont();
    [[nodiscard]] Settings editedControls() const;
    std::unique_ptr<Ui::OptionsDialog> ui_;
    std::unique_ptr<DrawnForm> form_;
    const Settings settings_; // as they were when the dialog opened
    bool centred_ = false;
    bool hostMode_ = false;
    bool fitQueued_ = false;
    std::function<bool(const std::string&)> alreadyWatched_;
    std::unique_ptr<HostLookup> hostLookup_;
};
