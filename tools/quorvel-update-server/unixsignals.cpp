#include "unixsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalFds[2] = {-1, -1};

void handleSignal(int number)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalFds[0], &byte, 1);
    errno = savedErrno;
}
}

UnixSignals::UnixSignals(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0)
        return;
    notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGHUP, SIGINT, SIGTERM})
        ::sigaction(number, &action, nullptr);
}

UnixSignals::~UnixSignals()
{
    if (!notifier)
        return;
    for (const int number : {SIGHUP, SIGINT, SIGTERM})
        std::signal(number, SIG_DFL);
    ::close(signalFds[0]);
    ::close(signalFds[1]);
}

void UnixSignals::readSignal()
{
    char byte = 0;
    while (::read(signalFds[1], &byte, 1) == 1) {
        if (byte == SIGHUP)
            Q_EMIT hangup();
        else
            Q_EMIT terminate();
    }
}
