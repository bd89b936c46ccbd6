#include "net/filepreparer.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

FilePreparer::FilePreparer(const QString& directory, const QStringList& relativePaths)
    : states(new std::atomic<int>[size_t(relativePaths.size())])
{
    offsets.reserve(size_t(relativePaths.size()));
    const QString prefix = directory + QLatin1Char('/');
    for (const QString& relative : relativePaths) {
        states[offsets.size()].store(Pending, std::memory_order_relaxed);
        offsets.push_back(names.size());
        names += QFile::encodeName(prefix + relative);
        names += '\0';
    }
    // The names stay for the whole download phase; the growth reserve would stay with them.
    names.squeeze();
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
    for (size_t i = 0; i < offsets.size(); ++i) {
        int ready = Ready;
        if (states[i].compare_exchange_strong(ready, Taken, std::memory_order_acq_rel))
            ::unlink(path(i));
    }
}

void FilePreparer::run()
{
    for (size_t i = 0; i < offsets.size() && !stopping.load(std::memory_order_relaxed); ++i) {
        int expected = Pending;
        if (!states[i].compare_exchange_strong(expected, Creating, std::memory_order_acq_rel))
            continue; // its download got there first
        // A new file, never an old one truncated: an install may have given it a second name.
        // Usually nothing is there, so the unlink is only tried when the name is taken.
        int fd = ::open(path(i), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST && ::unlink(path(i)) == 0)
            fd = ::open(path(i), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const bool made = fd >= 0 && ::close(fd) == 0;
        states[i].store(made ? Ready : Failed, std::memory_order_release);
    }
}

bool FilePreparer::take(int index)
{
    if (index < 0 || size_t(index) >= offsets.size())
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
