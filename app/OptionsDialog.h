#pragma once

#include <QDialog>
#include <functional>
#include <memory>

class QLabel;
struct Settings;
namespace Ui {
class OptionsDialog;
}

// The two-page options dialog. Filled from Settings on construction; apply() writes the values back with
// the dialog's normalisation rules (call it only after exec() returned Accepted).
class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> openLogFile;   // when the new LogLevel is not 0
        std::function<void()> updateTrayTip; // last step of OK
        // Writes (true) or removes (false) the autostart entry; an error text when that failed.
        std::function<QString(bool on)> changeAutostart;
        std::function<void(const QString& text, const QString& caption)> showError; // a box owned by the window
    };

    OptionsDialog(QWidget* owner, Settings& settings);
    ~OptionsDialog() override;

    void apply(const Hooks& hooks);
    // The box shows whether an autostart entry is there, which is what the session will do, whatever the
    // setting says; OK then makes entry and setting agree. Without this call the box shows the setting.
    void showAutostartEntry(bool exists);
    [[nodiscard]] Ui::OptionsDialog* ui() const { return ui_.get(); } // for tests

    // Default extension for the log dialog's filter index (1-based): "log", "txt", "csv", "".
    [[nodiscard]] static QString defaultExtensionForFilter(const QString& filter, int index);

    // Control handlers, named after their control and event.
    void clearRecentList();
    void browseSound(bool startSound);
    void browseApplication();
    void browseLogFile();
    void showLogLevel();
    void updateAnalysisControls();
    void insertPlaceholder(const QLabel* placeholder);

protected:
    // The confirmation box and the file pickers; tests replace them. An empty path means cancelled.
    [[nodiscard]] virtual bool confirmClearRecent();
    [[nodiscard]] virtual QString pickSoundFile(const QString& title, const QString& current);
    [[nodiscard]] virtual QString pickApplication(const QString& current);
    [[nodiscard]] virtual QString pickLogFile(const QString& current);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fill();
    void applyAutostart(const Hooks& hooks);
    std::unique_ptr<Ui::OptionsDialog> ui_;
    Settings& settings_;
    bool centred_ = false;
    bool autostartShown_ = false; // the box's state when the dialog opened
};
