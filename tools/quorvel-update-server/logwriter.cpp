#include "logwriter.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

struct LogWriter::Queue
{
    int fd = -1;
    qsizetype limit = 0;
    std::mutex mutex;
    std::condition_variable changed;
    QByteArray pending;
    qint64 dropped = 0;
    bool writing = false;
    bool stopping = false;

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || !pending.isEmpty(); });
            if (pending.isEmpty())
                return;
            QByteArray chunk;
            chunk.swap(pending);
            writing = true;
            lock.unlock();
            writeAll(chunk);
            lock.lock();
            writing = false;
            changed.notify_all();
        }
    }

    // A reader that went away loses the log, nothing else (SIGPIPE is ignored by main).
    void writeAll(const QByteArray& chunk) const
    {
        const char* data = chunk.constData();
        qsizetype left = chunk.size();
        while (left > 0) {
            const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            data += written;
            left -= written;
        }
    }
};

LogWriter::LogWriter(int fd, qsizetype limit)
    : queue(std::make_shared<Queue>())
{
    queue->fd = fd;
    queue->limit = limit;
    // The thread shares the queue, so a writer left stuck at exit never touches freed memory.
    std::thread([queue = queue] { queue->run(); }).detach();
}

LogWriter::~LogWriter()
{
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->stopping = true;
    queue->changed.notify_all();
    queue->changed.wait_for(lock, std::chrono::seconds(1),
                            [this] { return queue->pending.isEmpty() && !queue->writing; });
}

void LogWriter::writeLine(const QByteArray& line)
{
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (queue->pending.size() + line.size() + 1 > queue->limit) {
        ++queue->dropped;
        return;
    }
    if (queue->dropped > 0) {
        queue->pending += QByteArray::number(queue->dropped) + " log lines dropped: the log reader is too slow\n";
        queue->dropped = 0;
    }
    queue->pending += line;
    queue->pending += '\n';
    queue->changed.notify_all();
}
