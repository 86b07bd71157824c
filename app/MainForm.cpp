#include "app/MainForm.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QEventLoop>
#include <QMenu>
#include <QMetaObject>
#include <QStyle>
#include <QStyleFactory>
#include <QUrl>

#include "alerts/AlertActions.h"
#include "alerts/EventLog.h"
#include "alerts/ProcessLauncher.h"
#include "app/ConfigDlg.h"
#include "app/QtMessagePort.h"
#include "app/QtSoundPlayer.h"
#include "app/QtWindowPort.h"
#include "app/RunControl.h"
#include "app/SignalWatcher.h"
#include "app/StatusIcons.h"
#include "app/TrayController.h"
#include "engine/IcmpEchoChannel.h"
#include "engine/PosixHostResolver.h"
#include "engine/ProbeWorker.h"
#include "settings/CommandLine.h"
#include "settings/CommonFn.h"
#include "settings/SettingsStore.h"
#include "ui_MainForm.h"

namespace {
constexpr int TrayDoubleClick = 515;

// Links a push button to an action the way the toolkit links menu items: caption, enabled state, click.
void linkButton(QPushButton* button, QAction* action) {
    const auto sync = [button, action] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
    };
    sync();
    QObject::connect(action, &QAction::changed, button, sync);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
}
} // namespace

TMain_Form::TMain_Form(Services services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)), ui_(std::make_unique<Ui::TMain_Form>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    // The classic group frame runs through the middle of its title; the desktop styles put the title above
    // the frame, which would cut through the first row of fields laid out for the classic one.
    if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) {
        classic->setParent(ui_->GroupBox2);
        ui_->GroupBox2->setStyle(classic);
    }
    createActions();
    createServices();
    FormCreate();
}

TMain_Form::~TMain_Form() {
    FormDestroy();
}

void TMain_Form::createActions() {
    Ping_Action = new QAction(QStringLiteral("&Start"), this);
    Options_Action = new QAction(QStringLiteral("&Options"), this);
    Exit_Action = new QAction(QStringLiteral("E&xit"), this);
    Popup_Action = new QAction(QStringLiteral("Show &window"), this);

    TrayMenu = new QMenu(this);
    TrayMenu->addAction(Ping_Action); // Start1
    TrayMenu->setDefaultAction(Ping_Action);
    TrayMenu->addAction(Popup_Action);   // Showwindow1
    TrayMenu->addSeparator();            // N1
    TrayMenu->addAction(Options_Action); // Options1
    TrayMenu->addAction(Exit_Action);    // Exit1
    connect(TrayMenu, &QMenu::aboutToShow, this, &TMain_Form::Options_ActionUpdate);

    linkButton(ui_->Start_But, Ping_Action);
    linkButton(ui_->Config_But, Options_Action);

    // The tray menu stays reachable while a dialog or box is open; nothing may start, open or exit under it.
    connect(Ping_Action, &QAction::triggered, this, [this] {
        if (!modalDialogOpen())
            runControl_->Ping_ActionExecute();
    });
    connect(Options_Action, &QAction::triggered, this, &TMain_Form::Options_ActionExecute);
    connect(Exit_Action, &QAction::triggered, this, [this] {
        if (!modalDialogOpen())
            Exit_ActionExecute();
    });
    connect(Popup_Action, &QAction::triggered, this, &TMain_Form::Popup_ActionExecute);
    connect(ui_->Reset_But, &QPushButton::clicked, this, [this] { runControl_->Reset_ButClick(); });
}

void TMain_Form::createServices() {
    hadArguments_ = !services_.arguments.empty();
    if (!services_.resolver)
        services_.resolver = std::make_shared<PosixHostResolver>();
    if (!services_.channel)
        services_.channel = std::make_unique<IcmpEchoChannel>();
    if (!services_.messages)
        services_.messages = std::make_unique<QtMessagePort>(this);

    const std::array<QLabel*, 7> labels{ui_->Host_L, ui_->Status_L, ui_->Total_L, ui_->Lost_L,
                                        ui_->Min_L,  ui_->Max_L,    ui_->Avg_L};
    QtWindowPort::Handlers handlers;
    handlers.setLabel = [labels](Label label, const QString& text) {
        labels[static_cast<std::size_t>(label)]->setText(text);
    };
    handlers.showStatusIcon = [this](HostStatus status) { showStatusIcon(status); };
    handlers.postLog = [this](HostStatus status, const std::string& text) { eventLog_->WMPingLog(status, text); };
    handlers.pingStopped = [this](bool failed) { runControl_->WMPingStop(failed); };
    windowPort_ = std::make_unique<QtWindowPort>(std::move(handlers));

    eventLog_ = std::make_unique<EventLog>(settings_, *services_.messages);
    sound_ = std::make_unique<QtSoundPlayer>();
    launcher_ = std::make_unique<ProcessLauncher>();
    // The launcher runs on the worker thread; the desktop's document opener belongs to the window thread.
    launcher_->openDocument = [this](const std::string& path) {
        QMetaObject::invokeMethod(
            this, [path] { QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(path))); },
            Qt::QueuedConnection);
        return true;
    };
    alerts_ = std::make_unique<AlertActions>(settings_, *sound_, *launcher_);
    tray_ = new TrayController(this, TrayMenu, state_, settings_, this);

    RunControl::Widgets widgets;
    widgets.ping = Ping_Action;
    widgets.reset = ui_->Reset_But;
    widgets.labels = labels;
    RunControl::Services run;
    run.resolver = services_.resolver;
    run.messages = services_.messages.get();
    run.window = windowPort_.get();
    run.post = [this](WorkerMessage message) {
        if (worker_)
            worker_->post(message);
        else if (message == WorkerMessage::PingStart) // no worker to probe: answer as a failed start would
            QMetaObject::invokeMethod(
                runControl_, [this] { runControl_->WMPingStop(true); }, Qt::QueuedConnection);
    };
    run.openOptions = [this] { ui_->Config_But->click(); };
    runControl_ = new RunControl(settings_, state_, widgets, std::move(run), this);
    connect(runControl_, &RunControl::stateChanged, this, &TMain_Form::Options_ActionUpdate);

    connect(ui_->Tray_But, &QPushButton::clicked, tray_, [this] { tray_->Tray_ButClick(); });

    if (services_.watchSignals) {
        signals_ = new SignalWatcher(this);
        connect(signals_, &SignalWatcher::terminationRequested, this, &TMain_Form::exitOnSignal);
    }
}

void TMain_Form::FormCreate() {
    state_.Running = false;
    state_.InTray = false;
    state_.CurrentStatus = HostStatus::NA;

    QCoreApplication::setApplicationName(windowTitle());
    setWindowTitle(windowTitle() + QStringLiteral(" ver.") +
                   QString::fromStdString(GetFileVersionString(QCoreApplication::applicationFilePath().toStdString())));
    setWindowIcon(StatusIcons::large(HostStatus::NA));

    LoadSettings(settings_, [this] {
        if (settings_.LogLevel != 0)
            eventLog_->OpenLogFile();
    });
    StartRequests requests;
    if (hadArguments_) {
        ApplyCommandLine(settings_, services_.arguments, requests);
        if (settings_.LogLevel != 0)
            eventLog_->OpenLogFile();
    }
    if (!settings_.Host.empty())
        ui_->Host_L->setText(QString::fromStdString(settings_.Host));

    worker_ = std::make_unique<ProbeWorker>(settings_, state_, *services_.channel, *windowPort_, alerts_.get());
    try {
        worker_->start();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "ostrevo: cannot start the probe thread: %s\n", e.what());
        worker_.reset();
    }

    bool start = requests.start;
    if (requests.tray) {
        state_.InTray = false;
        // As the Tray button does, but without a notification area there is no one to answer a box yet: the
        // window simply stays and the run starts all the same.
        tray_->Tray_ButClick(false);
        // Handled once the event loop has shown the window: the double-click hides it again.
        if (state_.InTray)
            QMetaObject::invokeMethod(
                this, [this] { tray_->WMTrayNotify(TrayDoubleClick); }, Qt::QueuedConnection);
        start = true;
    }
    // Pressed once the window is up, so that what starting reports has a window to belong to.
    if (start)
        QMetaObject::invokeMethod(ui_->Start_But, &QPushButton::click, Qt::QueuedConnection);
}

void TMain_Form::closeEvent(QCloseEvent* event) {
    if (state_.InTray) {
        hide();
        event->ignore();
        return;
    }
    if (state_.Running) {
        ui_->Start_But->click();
        QEventLoop waitForStop;
        const auto connection = connect(runControl_, &RunControl::stateChanged, &waitForStop, [&] {
            if (!state_.Running)
                waitForStop.quit();
        });
        if (state_.Running)
            waitForStop.exec();
        disconnect(connection);
    }
    event->accept();
    closed_ = true;
    Q_EMIT closed();
}

void TMain_Form::FormDestroy() {
    if (windowPort_)
        windowPort_->shutdown(); // a worker still in a run must not wait on a window that is going away
    if (worker_) {
        worker_->post(WorkerMessage::Quit);
        if (!worker_->joinFor(std::chrono::seconds(5)))
            std::fprintf(stderr, "ostrevo: waiting for the probe worker to end\n");
        worker_.reset();
    }
    tray_->RemoveTrayIcon();
    eventLog_->release();
    if (!hadArguments_)
        SaveSettings(settings_);
}

void TMain_Form::showStatusIcon(HostStatus status) {
    setWindowIcon(StatusIcons::large(status));
    if (state_.InTray)
        tray_->refreshIcon();
}

bool TMain_Form::modalDialogOpen() const {
    return optionsOpen_ || QApplication::activeModalWidget() != nullptr;
}

void TMain_Form::Options_ActionUpdate() {
    // A start waiting for the name service counts as running: the dialog must not change what it will use.
    Options_Action->setEnabled(!state_.Running && !runControl_->lookupPending());
}

void TMain_Form::Options_ActionExecute() {
    Options_ActionUpdate();
    if (!Options_Action->isEnabled() || modalDialogOpen())
        return;
    optionsOpen_ = true;
    TConfig_Dlg dialog(this, settings_);
    const int result = services_.runOptionsDialog ? services_.runOptionsDialog(dialog) : dialog.exec();
    if (result == QDialog::Accepted) {
        TConfig_Dlg::Hooks hooks;
        hooks.openLogFile = [this] { eventLog_->OpenLogFile(); };
        hooks.updateTrayTip = [this] { tray_->UpdateTrayTip(); };
        dialog.apply(hooks);
    }
    optionsOpen_ = false;
}

void TMain_Form::Popup_ActionExecute() {
    show();
    raise();
    activateWindow();
}

void TMain_Form::Exit_ActionExecute() {
    tray_->Tray_ButClick();
    close();
}

void TMain_Form::exitOnSignal() {
    // Dialogs first, so that nothing is left waiting on a user who asked the program to end.
    for (int guard = 0; guard < 8; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    if (state_.InTray)
        tray_->Tray_ButClick();
    close();
}
