#pragma once

#include <QByteArray>

#include <memory>

// The server's log on a file descriptor, written by a thread of its own: a log reader that
// stalls (a full pipe, a paused terminal) must never keep the server from answering. While
// more than `limit` bytes wait, new lines are dropped, and their number is logged once there
// is room again.
class LogWriter
{
public:
    explicit LogWriter(int fd, qsizetype limit = 1024 * 1024);
    // Gives the writer a moment to empty the queue; a writer still stuck is left behind.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Queues one line; the line break is added here. Never blocks on the descriptor.
    void writeLine(const QByteArray& line);

private:
    struct Queue;
    std::shared_ptr<Queue> queue;
};
