#pragma once

#include <QRect>
#include <QSize>

#include <vector>

class QTabWidget;
class QWidget;

// A form drawn in pixels for an 11-pixel face, shown in whatever font the desktop gives. The drawing is kept
// as designed and scaled as a whole by the least factor that lets every caption, button text, group title
// and tab page fit, so the fields keep their order and grouping and grow instead of being cut off.
class DrawnForm {
public:
    // Takes the geometry that the window's direct children, the pages of `tabs` (their direct children) and
    // every group box among them have now as the drawing. `tabs` may be null.
    DrawnForm(QWidget* window, QTabWidget* tabs);

    // The drawn geometry of a widget, in the design's pixels; a caller may change it (a part of the form
    // hidden) before the next apply(). Null for a widget that is not part of the drawing.
    [[nodiscard]] QRect* drawn(const QWidget* widget);
    void setDrawnSize(QSize size) { drawnSize_ = size; }
    [[nodiscard]] QSize drawnSize() const { return drawnSize_; }

    // Scales the drawing for the widgets' present fonts and fixes the window at the scaled size. Hidden
    // widgets do not count. Returns the factor used (1 when the drawing fits as it is).
    double apply();

private:
    struct Part {
        QWidget* widget;
        QRect drawn;
    };
    void take(QWidget* parent);
    [[nodiscard]] bool counts(const QWidget* widget) const;
    [[nodiscard]] double factorNeeded() const;

    QWidget* window_;
    QTabWidget* tabs_;
    QSize drawnSize_;
    std::vector<Part> parts_;
};
