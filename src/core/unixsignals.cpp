#include "core/unixsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int MaxSignals = 8;

// Read by the handler: plain data, set up before the first handler is installed.
int signalFds[2] = {-1, -1};
int caught[MaxSignals];
int caughtCount = 0;
volatile sig_atomic_t restoreDefaults = 0;

void setAction(int number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
}

void handleSignal(int number)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalFds[0], &byte, 1);
    if (restoreDefaults) {
        for (int i = 0; i < caughtCount; ++i)
            setAction(caught[i], SIG_DFL);
    }
    errno = savedErrno;
}
}

UnixSignals::UnixSignals(std::initializer_list<int> numbers, bool firstOnly, QObject* parent)
    : QObject(parent)
{
    Q_ASSERT(numbers.size() <= MaxSignals && caughtCount == 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0)
        return;
    notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignal);
    restoreDefaults = firstOnly ? 1 : 0;
    for (const int number : numbers) {
        if (caughtCount < MaxSignals)
            caught[caughtCount++] = number;
    }
    for (int i = 0; i < caughtCount; ++i)
        setAction(caught[i], handleSignal);
}

UnixSignals::~UnixSignals()
{
    if (!notifier)
        return;
    for (int i = 0; i < caughtCount; ++i)
        setAction(caught[i], SIG_DFL);
    caughtCount = 0;
    ::close(signalFds[0]);
    ::close(signalFds[1]);
}

void UnixSignals::readSignal()
{
    char byte = 0;
    while (::read(signalFds[1], &byte, 1) == 1)
        Q_EMIT received(static_cast<unsigned char>(byte));
}
