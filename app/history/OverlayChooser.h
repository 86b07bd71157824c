#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLineEdit;
class QListWidget;
class QMenu;
class QWidgetAction;

// The History window's Overlay menu: a tick for each host, the menu staying open while hosts are ticked. With
// more hosts than a menu shows at a glance it holds a filter box over a list of ticks instead, so that fifty
// hosts make a short list to search rather than a menu as high as the screen.
class OverlayChooser : public QObject {
    Q_OBJECT
public:
    static constexpr int kMostInMenu = 20;

    explicit OverlayChooser(QMenu* menu);

    // The hosts offered, in the order given, and the one shown (which cannot be overlaid on itself).
    void setHosts(const QStringList& hosts, const QString& shown);
    void setShown(const QString& shown);
    // Ticks these hosts, without telling of it.
    void setTicked(const QStringList& hosts);

    // The filter and list that stand for the menu's entries past kMostInMenu hosts.
    [[nodiscard]] QLineEdit* filterBox() const { return filterBox_; }
    [[nodiscard]] QListWidget* list() const { return list_; }

Q_SIGNALS:
    void toggled(const QString& host, bool on);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fillMenu();
    void fillList();
    void filter(const QString& text);
    void updateEnabled();

    QMenu* menu_;
    QWidgetAction* listAction_ = nullptr;
    QLineEdit* filterBox_ = nullptr;
    QListWidget* list_ = nullptr;
    QStringList hosts_;
    QStringList ticked_;
    QString shown_;
};
