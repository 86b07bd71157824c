#include "app/SignalWatcher.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {
int signalFds[2] = {-1, -1}; // [0] written by the handler, [1] read by the event loop
// SIGHUP arrives when the terminal closes or the session ends. It is left alone when the program was started
// with it ignored (nohup), which asks the program to outlive its terminal.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[std::size(kSignals)] {};
bool watched[std::size(kSignals)] = {};

extern "C" void onTerminationSignal(int signalNumber) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // Nothing to do when the pipe is full: a request is already pending.
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
    errno = saved;
}
} // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
    if (signalFds[0] >= 0)
        return; // another watcher owns the signals
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0) {
        std::fprintf(stderr, "ostrevo: cannot watch for termination signals: %s\n", std::strerror(errno));
        signalFds[0] = signalFds[1] = -1;
        return;
    }
    notifier_ = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::readSignal);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        ::sigaction(kSignals[i], nullptr, &previous[i]);
        watched[i] = kSignals[i] != SIGHUP || previous[i].sa_handler != SIG_IGN;
        if (watched[i])
            ::sigaction(kSignals[i], &action, nullptr);
    }
}

SignalWatcher::~SignalWatcher() {
    if (!notifier_)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (watched[i])
            ::sigaction(kSignals[i], &previous[i], nullptr);
    delete notifier_;
    ::close(signalFds[0]);
    ::close(signalFds[1]);
    signalFds[0] = signalFds[1] = -1;
}

void SignalWatcher::readSignal() {
    unsigned char byte = 0;
    int last = 0;
    while (::read(signalFds[1], &byte, 1) == 1)
        last = byte;
    if (last != 0)
        Q_EMIT terminationRequested(last);
}
