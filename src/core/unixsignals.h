#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal on the event loop (a handler may only write to a
// socket, so it writes the signal number and the loop reads it). One per process; shared by
// the updater and the update server.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    // Catches the given signals until destroyed. With firstOnly, the first caught signal gives
    // all of them their default action back from inside the handler, so a second one ends the
    // process at once even while the event loop is blocked.
    UnixSignals(std::initializer_list<int> numbers, bool firstOnly, QObject* parent = nullptr);
    ~UnixSignals() override;
    bool isValid() const { return notifier != nullptr; }

Q_SIGNALS:
    void received(int number);

private:
    void readSignal();

    QSocketNotifier* notifier = nullptr;
};
