#pragma once

#include "auditreport.h"

#include "net/mirrors.h"
#include "update/filespecifications.h"
#include "update/tomcryptutil.h"

#include <QObject>
#include <QVector>

#include <deque>

class FileCheck;
class QNetworkAccessManager;

// Checks every mirror of the updater's pool for one release, as an updater would see it:
// first the product ini and its signature from each mirror, then every file the agreed
// product ini lists, on every mirror that serves that ini. `streams` transfers run at a time,
// taken in turn from the mirrors.
class MirrorAudit : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString type;
        int version = 0;
        bool deep = false; // MD5 of every file, not only its size
        int streams = 6;
        QString workDir;   // an empty folder for the product inis while they are compared
    };

    // The key must verify the product ini; not owned, used until finished().
    MirrorAudit(QNetworkAccessManager* manager, const QVector<FTPSiteAccessData>& pool, Rsa_key* key,
                const Settings& settings, QObject* parent = nullptr);

    void start();
    const AuditSummary& summary() const { return result; }
    // Set when the audit stopped on a local error (a file it could not write).
    QString localError() const { return localErrorText; }

Q_SIGNALS:
    // The files are known: checks to come (files times mirrors) and their bytes.
    void filesListed(int checks, quint64 bytes);
    void fileChecked();
    void bytesReceived(qint64 count);
    void finished();

private:
    enum Special { IniJob = -2, SignatureJob = -1 };
    struct Job
    {
        int mirror;
        int file; // an index of `files`, or a Special
    };

    QString iniName() const { return settings.type + QStringLiteral(".ini"); }
    QString savedPath(int mirror, int file) const;
    void startJobs();
    void startJob(const Job& job);
    void jobDone(FileCheck* check, const Job& job);
    void takeIniVerdict(FileCheck* check, const Job& job);
    void takeFileVerdict(FileCheck* check, const Job& job);
    void iniPhaseDone();
    bool signatureValid(int mirror, const QByteArray& iniDigest);
    void chooseReference();
    bool readReference(int mirror);
    void queueFileJobs();

    QNetworkAccessManager* manager;
    Rsa_key* key;
    Settings settings;
    AuditSummary result;
    QList<QByteArray> iniDigests;         // SHA-1 of each mirror's product ini; empty: none
    QList<FileDownloadSpecification> files;
    std::deque<Job> queue;
    int running = 0;
    bool starting = false;
    bool filePhase = false;
    bool over = false;
    QString localErrorText;
};
