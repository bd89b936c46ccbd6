#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"
#include "update/filespecifications.h"
#include "update/resumerecord.h"

#include <QString>
#include <QStringList>

#include <vector>

class Configuration;
class QSettings;

// Reads the verified product ini on a pool thread and compares every file it names, by
// MD5, with the installed file and with a copy an earlier run may have downloaded; a shorter
// copy that the session's resume record vouches for is left to be continued.
// Writes only into the record it is given, which nobody reads until runResult arrived.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // The configuration is read here, on the GUI thread; the worker only uses copies.
    MakeDownloadReplaceListFunc(Configuration* configuration, FileSpecifications& lists);

    bool run() override;

    // Number of keys of all sections, "delete" included.
    static int getFileCount(QSettings& settings);
    // True for a relative path that stays inside the directory it is relative to: not
    // empty, no leading "/", no empty, "." or ".." component, no backslash or control
    // character. The product ini must not make the updater write or delete elsewhere.
    static bool isSafeRelativePath(const QString& path);
    // Key outside every section whose list names the installed paths that are programs.
    // An updater that knows no such key reads sections only and passes over it.
    static QString executablesKey();

    struct Md5Scratch; // per checking thread: hash state and read buffer

private:
    // One key of the product ini, read and checked for safety before any file is looked at.
    struct Entry
    {
        bool isDelete = false;
        FileDownloadSpecification download;
        FileReplaceSpecification replace;
        // The sums as bytes; empty when the text is not a valid MD5.
        QByteArray downloadDigest;
        QByteArray installedDigest;
        // What the files on disk say; filled by checkFiles, on any thread.
        bool present = false;
        bool installedMatches = false;
        bool oldPresent = false;
        bool downloadedMatches = false;
    };

    bool parseEntry(const QString& section, const QString& key, const QString& value, Entry& entry) const;
    void checkFiles(Entry& entry, Md5Scratch& scratch) const;
    void checkDownloadedCopy(Entry& entry, Md5Scratch& scratch) const;
    void addEntry(const Entry& entry);
    void checkAndAdd(std::vector<Entry>& entries, int total);

    Configuration* configuration;
    FileSpecifications* lists;
    QString workingDir;
    QString appRoot;
    QString iniPath;
    QString recordPath;
    int version;
    QHash<QString, ResumeRecord::Listing> recorded; // read before the checks, which share it
};

// Phase 2 of an update: compiles the download, replace and delete lists. The target
// record is written only when the whole product ini was valid and the update may write
// what the lists ask for (StorageCheck), so nothing is downloaded when it could not be.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // Neither the configuration nor the target is owned.
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration, FileSpecifications& target,
                                             QObject* parent, double parentProgressRange);
    ~MakeDownloadReplaceListTaskSpecification() override;

    void reset() override;
    // True when the task failed for want of free space or write access.
    bool failedOnStorage() const { return storageFailed; }

protected:
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

private:
    Configuration* configuration;
    FileSpecifications* target;
    FileSpecifications lists; // written by the worker
    bool storageFailed = false;
};
