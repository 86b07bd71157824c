#include "app/common/ScreenFit.h"

#include <algorithm>

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QScreen>
#include <QStyle>

namespace {

// What the window manager will add around the window: known once it has been shown, else what the anchor got,
// else a title bar and a thin border as most desktops draw them.
QMargins frameOf(const QWidget& window, const QWidget* anchor) {
    const auto margins = [](const QWidget& w) {
        const QRect frame = w.frameGeometry();
        const QRect inner = w.geometry();
        return QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                        frame.bottom() - inner.bottom());
    };
    if (window.testAttribute(Qt::WA_WState_Created) && !margins(window).isNull())
        return margins(window);
    if (anchor != nullptr && anchor->isVisible() && !margins(*anchor).isNull())
        return margins(*anchor);
    const QStyle* style = window.style();
    const int border = std::max(style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth), 1);
    return QMargins(border, style->pixelMetric(QStyle::PM_TitleBarHeight) + border, border, border);
}

bool onSomeScreen(const QRect& frame) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(),
                       [&frame](const QScreen* s) { return s->availableGeometry().contains(frame); });
}

// `frame` moved just far enough to lie within `area` (its top left corner first when it is larger).
QRect within(QRect frame, const QRect& area) {
    frame.moveRight(std::min(frame.right(), area.right()));
    frame.moveBottom(std::min(frame.bottom(), area.bottom()));
    frame.moveLeft(std::max(frame.left(), area.left()));
    frame.moveTop(std::max(frame.top(), area.top()));
    return frame;
}

} // namespace

ScreenFit::ScreenFit(QWidget* anchor, QObject* parent) : QObject(parent), anchor_(anchor) {}

bool ScreenFit::eventFilter(QObject* watched, QEvent* event) {
    // Show comes before the window is mapped, so a change here is never seen as a jump.
    if (event->type() == QEvent::Show && !event->spontaneous() && watched->isWidgetType()) {
        auto* window = static_cast<QWidget*>(watched);
        const Qt::WindowType type = window->windowType();
        if (window->isWindow() && (type == Qt::Window || type == Qt::Dialog))
            fit(*window, anchor_ == window ? nullptr : anchor_.data());
    }
    return QObject::eventFilter(watched, event);
}

void ScreenFit::fit(QWidget& window, const QWidget* anchor) {
    const bool anchored = anchor != nullptr && anchor->isVisible();
    QScreen* screen = anchored ? anchor->screen() : window.screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QMargins frame = frameOf(window, anchor);
    const QSize room(area.width() - frame.left() - frame.right(), area.height() - frame.top() - frame.bottom());
    // Never below the window's minimum: a form that cannot shrink further (the main window at a huge font) is
    // better cut by the screen's edge than drawn over itself, and starts at the screen's top left corner.
    const QSize size = window.size().boundedTo(room.expandedTo(window.minimumSize()));
    if (size != window.size())
        window.resize(size);

    QRect outer(window.pos(), size.grownBy(frame));
    // A window never placed (no move, never shown) goes where its owner is; a dialog has placed itself already.
    const char* const shown = "ostrevoShownBefore";
    const bool placed =
        window.testAttribute(Qt::WA_Moved) || window.property(shown).toBool() || qobject_cast<QDialog*>(&window);
    window.setProperty(shown, true);
    if (!placed && anchored)
        outer.moveCenter(anchor->frameGeometry().center());
    else if (onSomeScreen(outer))
        return;
    outer = within(outer, area);
    if (outer.topLeft() != window.pos())
        window.move(outer.topLeft());
}

void ScreenFit::placeBeside(QWidget& window, const QWidget& other) {
    const QRect beside = other.frameGeometry();
    const QScreen* screen = other.screen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : beside;
    const int width = window.frameGeometry().width();
    QPoint at(beside.right() + 1, beside.top());
    if (at.x() + width - 1 > area.right())
        at = QPoint(beside.left() - width, beside.top());
    if (at.x() < area.left())
        at = beside.topLeft() + QPoint(beside.height() / 12 + 24, beside.height() / 12 + 24);
    window.move(at);
    fit(window, &other);
}
