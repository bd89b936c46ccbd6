#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGHUP, SIGINT and SIGTERM into Qt signals on the event loop (a handler may only
// write to a pipe, so it writes the signal number and the loop reads it). One per process.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;
    bool isValid() const { return notifier != nullptr; }

Q_SIGNALS:
    void hangup();
    void terminate();

private:
    void readSignal();

    QSocketNotifier* notifier = nullptr;
};
