#pragma once

#include <QDialog>
#include <functional>
#include <memory>

class QLabel;
struct Settings;
namespace Ui {
class TConfig_Dlg;
}

// The two-page options dialog. Filled from Settings on construction; apply() writes the values back with
// the dialog's normalisation rules (call it only after exec() returned Accepted).
class TConfig_Dlg : public QDialog {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> openLogFile;   // when the new LogLevel is not 0
        std::function<void()> updateTrayTip; // last step of OK
    };

    TConfig_Dlg(QWidget* owner, Settings& settings);
    ~TConfig_Dlg() override;

    void apply(const Hooks& hooks);
    [[nodiscard]] Ui::TConfig_Dlg* ui() const { return ui_.get(); } // for tests

    // Default extension for the log dialog's filter index (1-based): "log", "txt", "csv", "".
    [[nodiscard]] static QString defaultExtensionForFilter(const QString& filter, int index);

    // Control handlers, named after their control and event.
    void Clear_ButClick();
    void SndBrowse_ButClick(bool startSound);
    void App_ButClick();
    void LogFileName_ButClick();
    void LogLevel_TBChange();
    void AnalizeModeClick();
    void InsertInParams(const QLabel* placeholder);

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
    std::unique_ptr<Ui::TConfig_Dlg> ui_;
    Settings& settings_;
    bool centred_ = false;
};
