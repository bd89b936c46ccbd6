#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Paths are relative to a release folder with "/" between levels; errors are one line.

// Every regular file under root (links are followed when they stay inside root). False with
// the reason when an entry cannot be published: a link that leads out or nowhere, a special
// file (device, socket, pipe), a name that is not UTF-8, or an unreadable directory.
bool listReleaseFiles(const QString& root, QStringList& files, QString& error);

// The installed paths of an earlier release, given as its product ini or its folder, and the
// paths its product ini already deleted (those stay deleted). False with the reason when a
// path climbs out of the installation or cannot be read.
bool listPreviousRelease(const QString& previous, QStringList& installed, QStringList& deleted, QString& error);

// What a file turned into on the mirror.
struct PublishedFile
{
    QByteArray md5;         // of the file as installed, lower-case hex
    quint64 size = 0;       // as installed
    QByteArray gzipMd5;     // of the compressed copy; empty when the file is published plain
    quint64 gzipSize = 0;
};

// Reports bytes done on stderr when it is a terminal, at most a few times a second.
class Progress
{
public:
    Progress(int files, quint64 bytes);
    ~Progress();
    void add(quint64 bytes);
    void fileDone();

private:
    void show(bool force);

    const int totalFiles;
    const quint64 totalBytes;
    int files = 0;
    quint64 bytes = 0;
    qint64 lastShown = -1;
    const bool enabled;
};

// Copies source to target, compressing with gzip on the way, and keeps the compressed copy
// (gzipTarget) only if it saves at least a tenth; otherwise writes the plain copy (plainTarget).
// Memory stays flat whatever the file size.
bool publishFile(const QString& source, const QString& plainTarget, const QString& gzipTarget, bool mayCompress,
                 PublishedFile& result, Progress& progress, QString& error);
