#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QComboBox;

// What part of the past a time graph shows, and the rules that move it: a chosen span ends now; zooming and
// panning show another part of the history until "back to now" returns to the chosen span. Nothing lies ahead
// of now (a view that reaches it follows it again), and a span is never shorter than a minute nor longer than
// ten years. The History window's graph and the Route window's path timeline both move by these rules.
class TimeSpanView {
public:
    // Unix time in milliseconds.
    using Clock = std::function<std::int64_t()>;

    struct Span {
        const char* label;
        std::int64_t ms;
    };
    // The spans offered to choose from.
    static const std::vector<Span>& presets();
    static constexpr std::int64_t kShortestSpanMs = 60'000;
    static constexpr std::int64_t kLongestSpanMs = 3650 * 86'400'000LL;
    [[nodiscard]] static std::int64_t withinZoom(std::int64_t spanMs);

    TimeSpanView(Clock clock, std::int64_t chosenSpanMs);

    // Told after every change of what is shown.
    std::function<void()> changed;

    // Any span (kept within the zoom limits), ending now.
    void choose(std::int64_t spanMs);
    // The chosen span, ending now.
    void backToNow();
    // `factor` times the shown span, keeping the moment `atMs` at its place.
    void zoom(double factor, std::int64_t atMs);
    // The shown span moved into the past (negative: towards now; never beyond now).
    void pan(std::int64_t earlierByMs);
    // [fromMs, toMs); too short a range grows around its middle.
    void showRange(std::int64_t fromMs, std::int64_t toMs);
    // Chooses a span without telling anyone, as a window restoring what it kept does.
    void reset(std::int64_t chosenSpanMs);

    [[nodiscard]] std::int64_t chosenSpanMs() const { return chosenSpanMs_; }
    [[nodiscard]] std::int64_t shownSpanMs() const { return shownSpanMs_; }
    // The end when it is not now.
    [[nodiscard]] std::optional<std::int64_t> shownEndMs() const { return shownEndMs_; }
    // What to read: [from, to) ends one past the shown end, so a probe of this very millisecond is in.
    struct Range {
        std::int64_t fromMs = 0;
        std::int64_t toMs = 0;
        std::int64_t nowMs = 0;
    };
    [[nodiscard]] Range range() const;
    // Zoomed or panned away from the chosen span.
    [[nodiscard]] bool awayFromChosen() const { return shownEndMs_.has_value() || shownSpanMs_ != chosenSpanMs_; }

    // Fills `box` with the presets, once.
    static void fillBox(QComboBox& box);
    // Selects the shown span in a box of the presets; a zoomed span is shown as its length, beside them.
    void showIn(QComboBox& box) const;

private:
    void show(std::int64_t spanMs, std::optional<std::int64_t> endMs);

    Clock clock_;
    std::int64_t chosenSpanMs_;
    std::int64_t shownSpanMs_;
    std::optional<std::int64_t> shownEndMs_;
};
