#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QObject>

#include <memory>

// The digest of a byte stream, computed on a thread of the global pool while the caller goes
// on receiving: a transfer and its hashing run side by side. At most `capacity` bytes wait to
// be hashed, so memory stays flat whatever the stream's length.
class DigestStream : public QObject
{
    Q_OBJECT

public:
    DigestStream(QCryptographicHash::Algorithm algorithm, qsizetype capacity, QObject* parent = nullptr);
    // Does not wait: a chunk still being hashed finishes on its thread, and nothing more is
    // reported.
    ~DigestStream() override;

    // Bytes that add() takes now.
    qsizetype room() const;
    // Takes chunk to hash; at most room() bytes.
    void add(const QByteArray& chunk);
    // No more chunks: resultReady follows once all are hashed.
    void finish();

Q_SIGNALS:
    // Some bytes were hashed: room() has grown.
    void roomAvailable();
    void resultReady(const QByteArray& digest);

private:
    struct State;
    void schedule();

    std::shared_ptr<State> state;
};
