#include "net/filepreparer.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

FilePreparer::FilePreparer(const QStringList& paths)
    : states(new std::atomic<int>[size_t(paths.size())])
{
    this->paths.reserve(paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i) {
        this->paths.append(QFile::encodeName(paths.at(i)));
        states[size_t(i)].store(Pending, std::memory_order_relaxed);
    }
    worker = std::thread([this] { run(); });
}

FilePreparer::~FilePreparer()
{
    stop();
}

void FilePreparer::stop()
{
    if (!worker.joinable())
        return;
    stopping.store(true, std::memory_order_relaxed);
    worker.join();
    for (qsizetype i = 0; i < paths.size(); ++i) {
        int ready = Ready;
        if (states[size_t(i)].compare_exchange_strong(ready, Taken, std::memory_order_acq_rel))
            ::unlink(paths.at(i).constData());
    }
}

void FilePreparer::run()
{
    for (qsizetype i = 0; i < paths.size() && !stopping.load(std::memory_order_relaxed); ++i) {
        int expected = Pending;
        if (!states[size_t(i)].compare_exchange_strong(expected, Creating, std::memory_order_acq_rel))
            continue; // its download got there first
        // A new file, never an old one truncated: an install may have given it a second name.
        const QByteArray& path = paths.at(i);
        ::unlink(path.constData());
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const bool made = fd >= 0 && ::close(fd) == 0;
        states[size_t(i)].store(made ? Ready : Failed, std::memory_order_release);
    }
}

bool FilePreparer::take(int index)
{
    if (index < 0 || index >= paths.size())
        return false;
    std::atomic<int>& state = states[size_t(index)];
    for (;;) {
        int seen = state.load(std::memory_order_acquire);
        if (seen == Creating) {
            // Never long: one file is being created.
            std::this_thread::yield();
            continue;
        }
        if (seen == Ready || seen == Pending) {
            if (state.compare_exchange_strong(seen, Taken, std::memory_order_acq_rel))
                return seen == Ready;
            continue;
        }
        return false; // failed, or handed out before
    }
}
