#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class QSettings;

// One mirror of the pool. Download tasks keep a copy of the record they were handed.
struct FTPSiteAccessData
{
    QString name;        // identity in the pool
    QString url;         // base URL ending in the target version number
    qint32 retries = 0;  // errors tolerated before the mirror is dropped
    qint32 timeoutTicks = 15;
    qint32 errorCount = 0;
    qint32 useCount = 0;
    qint32 maxUse = 1;
};

enum MirrorResult {
    MirrorAssigned = 0,
    MirrorsExhausted = 1,
    MirrorsBusy = 2
};

// The HTTP mirrors of one update session: a weighted random choice by free transfer
// slots, use counts, error limits and removal. Lives on the GUI thread.
class Mirrors : public QObject
{
    Q_OBJECT

public:
    explicit Mirrors(QObject* parent);

    bool initDefault(const QString& path, int version);
    bool initAlpha(const QString& path, int version);
    void setDefaults(QSettings& settings, int version);
    // The array indexes of the "mirrors" entries present up to its "size", in order, for
    // setArrayIndex inside beginReadArray. A huge "size" must not mean a huge loop.
    static QList<int> presentEntries(QSettings& settings);

    // Takes a transfer slot on the chosen mirror and copies its record into out.
    int getRandomMirror(FTPSiteAccessData& out);
    // As above, but a mirror named in avoid is chosen only when no other has a free slot.
    int getRandomMirror(FTPSiteAccessData& out, const QStringList& avoid);
    void releaseMirror(const QString& name);
    // reason: what went wrong, kept for the report when the pool runs empty.
    void addMirrorError(const QString& name, const QString& reason = QString());
    void removeMirror(const QString& name, const QString& reason = QString());
    int getMirrorIndex(const QString& name) const;
    void calcUseStats(int& totalMaxUse, int& totalUseCount) const;

    const QVector<FTPSiteAccessData>& getMirrorList() const { return mirrorList; }

    // The file gave no mirror at all: its author's fault, not the mirrors'.
    bool loadedNone() const { return !loadProblem.isEmpty(); }

Q_SIGNALS:
    void fatalError(QString errorMessage);
    void message(QString message);
    // A transfer slot was given back or a mirror left the pool: downloads waiting for a
    // slot may look again.
    void slotReleased();

private:
    void drop(int index, const QString& reason);
    // Why initDefault found no mirror at path; empty when it found one.
    static QString whyEmpty(const QString& path, int entries);

    QVector<FTPSiteAccessData> mirrorList;
    bool noMirrorsReported = false;
    // For the line that follows the empty-pool message: why nothing was loaded, or each
    // dropped mirror with its address and last failure.
    QString loadProblem;
    QStringList dropped;
};
