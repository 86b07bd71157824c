#pragma once

#include <vector>

#include <QStringList>

#include "app/hosts/HostsWindow.h"

// The Hosts window with the user's answer to its questions given beforehand, and what it asked.
class AnsweredHostsWindow : public HostsWindow {
public:
    using HostsWindow::HostsWindow;
    bool removeAnswer = true;
    std::vector<QStringList> removeAsked; // the hosts named by each question

protected:
    bool confirmRemove(const QStringList& hosts) override {
        removeAsked.push_back(hosts);
        return removeAnswer;
    }
};
