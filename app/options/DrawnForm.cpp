#include "app/options/DrawnForm.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QTabWidget>

#include <algorithm>
#include <cmath>

namespace {

// Rounding the scaled edges may take a pixel from any size.
constexpr int kRoundingSlack = 1;
// The group boxes' style sheet puts the title 6 pixels in from the left edge.
constexpr int kGroupTitleInset = 6;
// What a tab page loses to the tab widget's frame, above and below.
constexpr int kPageFrame = 4;

double growthFor(QSize needed, QSize drawn) {
    if (drawn.width() <= 0 || drawn.height() <= 0)
        return 1.0;
    const auto growth = [&](int slack) {
        return std::max(static_cast<double>(needed.width() + slack) / drawn.width(),
                        static_cast<double>(needed.height() + slack) / drawn.height());
    };
    return growth(0) <= 1.0 ? 1.0 : growth(kRoundingSlack);
}

// Edges are scaled rather than sizes, so that fields drawn side by side stay side by side.
QRect scaledRect(const QRect& drawn, double factor) {
    const auto edge = [factor](int v) { return static_cast<int>(std::lround(v * factor)); };
    return QRect(QPoint(edge(drawn.left()), edge(drawn.top())),
                 QPoint(edge(drawn.left() + drawn.width()) - 1, edge(drawn.top() + drawn.height()) - 1));
}

// A line of text in a frame, as an edit or a combo box shows it.
int editHeight(const QWidget* edit) {
    return edit->fontMetrics().height() + 6;
}

// The caption plus a few pixels of frame: the drawing gives its small buttons ("...") no more.
QSize buttonNeeds(const QPushButton* button) {
    const QFontMetrics metrics(button->font());
    QString plain = button->text();
    plain.remove(QLatin1Char('&'));
    return {metrics.horizontalAdvance(plain) + 6, metrics.height() + 4};
}

// The longest item in the box, with the frame and arrow the style draws around it.
QSize comboNeeds(const QComboBox* combo) {
    int text = 0;
    for (int i = 0; i < combo->count(); ++i)
        text = std::max(text, combo->fontMetrics().horizontalAdvance(combo->itemText(i)));
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    const QSize framed = combo->style()->sizeFromContents(QStyle::CT_ComboBox, &option,
                                                          QSize(text, combo->fontMetrics().height()), combo);
    return {combo->isEditable() ? 0 : framed.width(), editHeight(combo)};
}

QSize needs(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        if (label->wordWrap())
            return {};
        const int frame = 2 * (label->frameWidth() + label->margin());
        return {label->fontMetrics().horizontalAdvance(label->text()) + frame, label->fontMetrics().height() + frame};
    }
    if (const auto* button = qobject_cast<const QPushButton*>(widget))
        return buttonNeeds(button);
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->sizeHint(); // check boxes and radio buttons: the indicator and the caption
    if (const auto* combo = qobject_cast<const QComboBox*>(widget))
        return comboNeeds(combo);
    if (qobject_cast<const QLineEdit*>(widget) != nullptr)
        return {0, editHeight(widget)};
    // The widest value of its range with its arrows, as the style lays them out.
    if (const auto* spin = qobject_cast<const QAbstractSpinBox*>(widget))
        return {spin->minimumSizeHint().width(), editHeight(spin)};
    return {};
}

} // namespace

DrawnForm::DrawnForm(QWidget* window, QTabWidget* tabs) : window_(window), tabs_(tabs), drawnSize_(window->size()) {
    take(window);
    if (tabs != nullptr)
        for (int page = 0; page < tabs->count(); ++page)
            take(tabs->widget(page));
}

void DrawnForm::take(QWidget* parent) {
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow())
            continue;
        parts_.push_back({child, child->geometry()});
        if (qobject_cast<QGroupBox*>(child) != nullptr)
            take(child);
    }
}

QRect* DrawnForm::drawn(const QWidget* widget) {
    const auto it = std::find_if(parts_.begin(), parts_.end(), [widget](const Part& p) { return p.widget == widget; });
    return it == parts_.end() ? nullptr : &it->drawn;
}

// Hidden by the form's owner, itself or with its group; a tab page that is not current still counts.
bool DrawnForm::counts(const QWidget* widget) const {
    for (const QWidget* w = widget; w != nullptr && w != window_; w = w->parentWidget()) {
        if (tabs_ != nullptr && tabs_->indexOf(w) >= 0)
            return true;
        if (w->isHidden())
            return false;
    }
    return true;
}

double DrawnForm::factorNeeded() const {
    double factor = 1.0;
    for (const Part& part : parts_) {
        if (!counts(part.widget))
            continue;
        factor = std::max(factor, growthFor(needs(part.widget), part.drawn.size()));
        if (const auto* group = qobject_cast<const QGroupBox*>(part.widget)) {
            const QFontMetrics metrics = group->fontMetrics();
            const int titleWidth = metrics.horizontalAdvance(group->title()) + 2 * kGroupTitleInset;
            factor = std::max(factor, static_cast<double>(titleWidth) / part.drawn.width());
            // The title takes the top of the box, which the drawing left free above the first control.
            int top = part.drawn.height();
            for (const Part& child : parts_)
                if (child.widget->parentWidget() == group && counts(child.widget))
                    top = std::min(top, child.drawn.top());
            if (top > 0)
                factor = std::max(factor, static_cast<double>(metrics.height() + kRoundingSlack) / top);
        }
    }
    if (tabs_ != nullptr) {
        // The tab bar keeps its height, whatever the factor: the pages' content must fit below it.
        int lowest = 0;
        for (const Part& part : parts_)
            if (part.widget->parentWidget() != nullptr && tabs_->indexOf(part.widget->parentWidget()) >= 0 &&
                counts(part.widget))
                lowest = std::max(lowest, part.drawn.bottom() + 1);
        const auto pages =
            std::find_if(parts_.begin(), parts_.end(), [this](const Part& p) { return p.widget == tabs_; });
        const int room = pages != parts_.end() ? pages->drawn.height() - lowest : 0;
        if (room > 0)
            factor = std::max(
                factor, static_cast<double>(tabs_->tabBar()->sizeHint().height() + kPageFrame + kRoundingSlack) / room);
    }
    return factor;
}

double DrawnForm::apply() {
    const double factor = factorNeeded();
    for (const Part& part : parts_)
        part.widget->setGeometry(scaledRect(part.drawn, factor));
    window_->setFixedSize(scaledRect(QRect(QPoint(0, 0), drawnSize_), factor).size());
    return factor;
}
