#pragma once

#include "update/filespecifications.h"

#include <QHash>
#include <QList>
#include <QString>

// What a later run needs to trust the partial downloads of a session: for every file being
// downloaded, the target version and the size and MD5 that the signed product ini lists for
// it. Nothing in it comes from a mirror. It lives in the session's temporary directory,
// next to the product ini it was taken from.
class ResumeRecord
{
public:
    ResumeRecord() = delete;

    struct Listing
    {
        qint64 size = 0;
        QString md5Sum;
    };

    static QString path(const QString& tempDir, const QString& clientType);
    // The listings recorded for version, by file path; lines of another version are left out,
    // as is a line cut short by a kill.
    static QHash<QString, Listing> read(const QString& path, int version);
    // Replaces the record with the listings of files. False when it could not be written; a
    // later run then trusts no partial file.
    static bool write(const QString& path, int version, const QList<FileDownloadSpecification>& files);
};
