#pragma once

#include <cstdint>
#include <functional>
#include <optional>

class QEvent;
class QMouseEvent;
class QPoint;
class QString;
class QWheelEvent;
class QWidget;

// How a time graph reads the pointer: the wheel zooms around the pointer (a touchpad's small steps add up to the
// notches of a wheel), a drag pans, a drag with Shift or the right button picks a range, and, where the graph
// takes clicks, a press released without moving is a click. The graph says where an x falls in time and how much
// time a pixel holds; the gestures only ask, through the requests.
class TimeGestures {
public:
    struct Requests {
        std::function<void(double factor, std::int64_t atMs)> zoom; // factor < 1 zooms in
        std::function<void(std::int64_t earlierByMs)> pan;          // negative: towards now
        std::function<void(std::int64_t fromMs, std::int64_t toMs)> range;
        std::function<void(int x)> click; // none: a press pans at once
    };
    struct Scale {
        std::function<std::int64_t(int x)> timeAt;
        std::function<double()> msPerPixel;
    };

    TimeGestures(QWidget& widget, Scale scale, Requests requests);

    void press(QMouseEvent* event);
    void move(QMouseEvent* event);
    void release(QMouseEvent* event);
    void wheel(QWheelEvent* event);

    // Answers a tooltip event with what `textAt` says of its point (nothing: no tip); false for other events.
    bool toolTip(QEvent* event, const std::function<QString(const QPoint&)>& textAt);

    // The range being picked: where its drag began.
    [[nodiscard]] std::optional<int> selectingFrom() const;

private:
    enum class Drag { None, Click, Pan, Select };

    QWidget& widget_;
    Scale scale_;
    Requests requests_;
    Drag drag_ = Drag::None;
    int pressX_ = 0;
    int lastX_ = 0;
    int wheelRest_ = 0;
};
