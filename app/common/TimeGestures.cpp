#include "app/common/TimeGestures.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include <QHelpEvent>
#include <QMouseEvent>
#include <QToolTip>
#include <QWheelEvent>
#include <QWidget>

namespace {

// A press that moves less than this is a click, and a range picked narrower than this none.
constexpr int kSlack = 4;

int xOf(const QMouseEvent* event) {
    return static_cast<int>(event->position().x());
}

} // namespace

TimeGestures::TimeGestures(QWidget& widget, Scale scale, Requests requests)
    : widget_(widget), scale_(std::move(scale)), requests_(std::move(requests)) {}

void TimeGestures::press(QMouseEvent* event) {
    const int x = xOf(event);
    if (event->button() == Qt::RightButton ||
        (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier))) {
        drag_ = Drag::Select;
    } else if (event->button() == Qt::LeftButton && requests_.click) {
        drag_ = Drag::Click;
    } else if (event->button() == Qt::LeftButton) {
        drag_ = Drag::Pan;
        widget_.setCursor(Qt::ClosedHandCursor);
    }
    pressX_ = x;
    lastX_ = x;
}

void TimeGestures::move(QMouseEvent* event) {
    const int x = xOf(event);
    if (drag_ == Drag::Click && std::abs(x - pressX_) >= kSlack) {
        drag_ = Drag::Pan;
        widget_.setCursor(Qt::ClosedHandCursor);
    }
    if (drag_ != Drag::Pan)
        return;
    const std::int64_t by = std::llround((x - lastX_) * scale_.msPerPixel());
    lastX_ = x;
    if (by != 0 && requests_.pan)
        requests_.pan(by);
}

void TimeGestures::release(QMouseEvent* event) {
    const Drag drag = std::exchange(drag_, Drag::None);
    widget_.unsetCursor();
    const int x = xOf(event);
    if (drag == Drag::Click && requests_.click)
        requests_.click(x);
    if (drag == Drag::Select && std::abs(x - pressX_) >= kSlack && requests_.range)
        requests_.range(scale_.timeAt(std::min(x, pressX_)), scale_.timeAt(std::max(x, pressX_)));
}

void TimeGestures::wheel(QWheelEvent* event) {
    wheelRest_ += event->angleDelta().y();
    const int notches = wheelRest_ / 120;
    wheelRest_ -= notches * 120;
    if (notches != 0 && requests_.zoom)
        requests_.zoom(std::pow(0.8, notches), scale_.timeAt(static_cast<int>(event->position().x())));
    event->accept();
}

bool TimeGestures::toolTip(QEvent* event, const std::function<QString(const QPoint&)>& textAt) {
    if (event->type() != QEvent::ToolTip)
        return false;
    auto* help = static_cast<QHelpEvent*>(event);
    const QString text = textAt(help->pos());
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), text, &widget_);
    return true;
}

std::optional<int> TimeGestures::selectingFrom() const {
    return drag_ == Drag::Select ? std::optional<int>(pressX_) : std::nullopt;
}
