#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

// The one rule by which every window of the program opens fully on the screen it belongs to. Installed on the
// application, it sees each window just before it is shown: its size is bounded by the screen's free area less
// the frame the window manager adds, and a window whose frame would not lie wholly on a screen is moved onto the
// anchor's (the main window's) screen, centred on the anchor when it is shown for the first time. A window the
// user placed on a screen stays where it is.
class ScreenFit : public QObject {
    Q_OBJECT
public:
    explicit ScreenFit(QWidget* anchor, QObject* parent = nullptr);

    // The rule itself, for a window about to be shown.
    static void fit(QWidget& window, const QWidget* anchor);
    // Puts `window` beside `other` (right of it, else left of it, else a step down and right), then fits it.
    static void placeBeside(QWidget& window, const QWidget& other);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> anchor_;
};
