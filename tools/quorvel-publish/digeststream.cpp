#include "digeststream.h"

#include <QThreadPool>

#include <deque>
#include <mutex>

namespace {
// Chunks hashed in one turn on the pool; then the turn goes to the next stream waiting.
constexpr int ChunksPerTurn = 16;
}

struct DigestStream::State
{
    explicit State(QCryptographicHash::Algorithm algorithm)
        : hash(algorithm)
    {
    }

    std::mutex mutex;
    // Null once the stream is gone; read and posted to only under the mutex.
    DigestStream* owner = nullptr;
    std::deque<QByteArray> chunks;
    qsizetype waiting = 0;
    qsizetype capacity = 0;
    bool scheduled = false;
    bool finishing = false;
    QCryptographicHash hash; // used by one turn at a time

    // One turn on a pool thread.
    void run(const std::shared_ptr<State>& self);
};

void DigestStream::State::run(const std::shared_ptr<State>& self)
{
    for (int turn = 0;; ++turn) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!owner)
            return;
        if (chunks.empty() || turn == ChunksPerTurn) {
            if (!chunks.empty()) {
                QThreadPool::globalInstance()->start([self] { self->run(self); });
                return;
            }
            scheduled = false;
            if (finishing) {
                QMetaObject::invokeMethod(owner, [owner = owner, digest = hash.result()] {
                    Q_EMIT owner->resultReady(digest);
                }, Qt::QueuedConnection);
            }
            return;
        }
        const QByteArray chunk = std::move(chunks.front());
        chunks.pop_front();
        lock.unlock();
        hash.addData(chunk);
        lock.lock();
        waiting -= chunk.size();
        if (owner)
            QMetaObject::invokeMethod(owner, &DigestStream::roomAvailable, Qt::QueuedConnection);
    }
}

DigestStream::DigestStream(QCryptographicHash::Algorithm algorithm, qsizetype capacity, QObject* parent)
    : QObject(parent)
    , state(std::make_shared<State>(algorithm))
{
    state->owner = this;
    state->capacity = capacity;
}

DigestStream::~DigestStream()
{
    const std::lock_guard<std::mutex> lock(state->mutex);
    state->owner = nullptr;
}

qsizetype DigestStream::room() const
{
    const std::lock_guard<std::mutex> lock(state->mutex);
    return state->finishing ? 0 : qMax<qsizetype>(0, state->capacity - state->waiting);
}

void DigestStream::add(const QByteArray& chunk)
{
    {
        const std::lock_guard<std::mutex> lock(state->mutex);
        Q_ASSERT(!state->finishing && chunk.size() <= state->capacity - state->waiting);
        state->chunks.push_back(chunk);
        state->waiting += chunk.size();
    }
    schedule();
}

void DigestStream::finish()
{
    {
        const std::lock_guard<std::mutex> lock(state->mutex);
        state->finishing = true;
    }
    schedule();
}

void DigestStream::schedule()
{
    {
        const std::lock_guard<std::mutex> lock(state->mutex);
        if (state->scheduled)
            return;
        state->scheduled = true;
    }
    QThreadPool::globalInstance()->start([self = state] { self->run(self); });
}
