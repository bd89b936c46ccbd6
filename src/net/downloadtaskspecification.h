#pragma once

#include "net/mirrors.h"
#include "tasks/taskspecification.h"

#include <QCryptographicHash>
#include <QFile>
#include <QPointer>
#include <QUrl>

#include <memory>

class FilePreparer;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file over HTTP from the mirror pool into a local file. Every failure of a
// transfer becomes a retry on a freshly drawn mirror; the task fails on its own only when
// the pool is empty, the local file cannot be created or no request could be made.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // The address of remotePath on a mirror, each path segment percent-encoded.
    static QUrl remoteUrl(const QString& baseUrl, const QString& remotePath);
    DownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, const QString& remotePath,
                              const QString& localPath, qint64 expectedSize, QObject* parent,
                              double parentProgressRange);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    // The mirror of the current or last attempt; a finished download keeps its name.
    const FTPSiteAccessData& getMirror() const { return mirror; }
    const QString& getRemotePath() const { return remotePath; }
    qint64 getExpectedSize() const { return expectedSize; }
    qint64 getBytesWritten() const { return bytesWritten; }
    // MD5 (hex) of the bytes written, once the file is complete, flushed and closed without
    // error; empty otherwise.
    const QString& getWrittenMd5() const { return writtenMd5; }
    // The first attempt opens the file the preparer made for it, if it made it already.
    void setPreparedFile(std::shared_ptr<FilePreparer> preparer, int index);
    // Mirrors to draw only when no other one has a free slot.
    void setAvoidedMirrors(const QStringList& names) { avoidedMirrors = names; }
    // The first attempt continues the local file as it is, when it is shorter than the
    // expected size: the caller vouches that its bytes are the start of this file.
    void continueFileOnDisk() { continueOnDisk = true; }
    // Whether the file was put together from more than one answer (or run): a wrong sum then
    // cannot be laid at one mirror.
    bool wasResumed() const { return resumed; }

protected:
    virtual void downloadFinished();

private Q_SLOTS:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onSlotReleased();

private:
    // What a failed attempt leaves of the file: the bytes received stay for the next one when
    // they can be trusted as the start of the listed file.
    enum class Part { Keep, Drop };

    void startDownload();
    bool takeMirror();
    bool openFile();
    bool openPartOnDisk();
    bool openNewFile();
    void sendRequest();
    void checkRangeAnswer(int status);
    void startOverFromFirstByte();
    void resetDownload(Part part = Part::Drop);
    void abandonAttempt();
    bool canKeepPart();
    void stopWaiting();
    void releaseSlot();
    void errorRetry(const QString& text, Part part = Part::Keep);
    void failWithoutRetry(const QString& text, const QString& reason = QString());
    void dropReply();
    void dropPartialFile();
    bool readData();
    bool drainReply();

    QNetworkAccessManager* manager;
    QPointer<Mirrors> mirrors;
    QNetworkReply* reply = nullptr;
    int idleTicks = 0;
    QString remotePath;
    QFile file;
    qint64 lastTickBytes = 0;
    qint64 expectedSize;
    qint64 initialExpectedSize;
    qint64 bytesWritten = 0;
    FTPSiteAccessData mirror;
    QCryptographicHash writtenHash{QCryptographicHash::Md5};
    bool hashCoversFile = true;  // false for a part an earlier run wrote: the check reads the file
    QString writtenMd5;
    qint64 requestedFrom = 0;  // the first byte asked for by the request in flight
    bool continueOnDisk = false;
    bool resumed = false;
    bool slotHeld = false;  // a slot of `mirror` is taken and not yet given back
    std::shared_ptr<FilePreparer> preparer;
    int preparedIndex = -1;
    QStringList avoidedMirrors;
};
