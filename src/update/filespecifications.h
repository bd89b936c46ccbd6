#pragma once

#include <QList>
#include <QString>

// One file to download, from a file section of the product ini.
struct FileDownloadSpecification
{
    QString section;
    QString filePath; // the key: path below the section on the mirror and in the working directory
    QString md5Sum;   // MD5 of the file as downloaded
    qint64 size = 0;  // expected download size
    // Bytes of the file that an interrupted run left in the working directory and that its
    // download continues from; 0 = none.
    qint64 partialSize = 0;
};

// One file to install from the working directory into the installation.
struct FileReplaceSpecification
{
    QString section;
    QString filePath;      // the key: name of the downloaded copy in the working directory
    QString unzipMd5Sum;   // MD5 after gzip decompression; empty when installed as downloaded
    quint64 unzipSize = 0;
    QString unzipFilePath; // installed path of the decompressed file; empty when not compressed
    bool executable = false; // the release marks the installed file as a program

    bool hasUnzip() const { return !unzipFilePath.isEmpty(); }
    // Installed path, relative to the installation root.
    QString pureDestFilePath() const { return hasUnzip() ? unzipFilePath : filePath; }
    // pureDestFilePath() with prefix put in front of its last component.
    QString destFileName(const QString& prefix) const;
    // Where the previously installed version stays while the new one goes in.
    QString oldDestFileName() const;
};

// The three lists that the update phases hand on to each other.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // paths relative to the installation root

    void clear();
};
