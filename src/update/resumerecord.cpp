#include "update/resumerecord.h"

#include <QFile>

// One line per file: "<version> <size> <md5> <path>\n"; the path comes last, as it may hold blanks.
QString ResumeRecord::path(const QString& tempDir, const QString& clientType)
{
    return tempDir + QLatin1Char('/') + clientType + QStringLiteral(".ini.partial");
}

QHash<QString, ResumeRecord::Listing> ResumeRecord::read(const QString& path, int version)
{
    QHash<QString, Listing> listings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return listings;
    const QByteArray wanted = QByteArray::number(version) + ' ';
    const QList<QByteArray> lines = file.readAll().split('\n');
    // The last piece follows the last line end: empty, or a line the writer did not finish.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        if (!line.startsWith(wanted))
            continue;
        const qsizetype sizeEnd = line.indexOf(' ', wanted.size());
        const qsizetype md5End = sizeEnd < 0 ? -1 : line.indexOf(' ', sizeEnd + 1);
        if (md5End < 0 || md5End + 1 == line.size())
            continue;
        bool ok = false;
        Listing listing;
        listing.size = line.mid(wanted.size(), sizeEnd - wanted.size()).toLongLong(&ok);
        listing.md5Sum = QString::fromLatin1(line.mid(sizeEnd + 1, md5End - sizeEnd - 1));
        if (ok)
            listings.insert(QString::fromUtf8(line.mid(md5End + 1)), listing);
    }
    return listings;
}

bool ResumeRecord::write(const QString& path, int version, const QList<FileDownloadSpecification>& files)
{
    QByteArray text;
    const QByteArray prefix = QByteArray::number(version) + ' ';
    for (const FileDownloadSpecification& file : files) {
        // A file without an MD5 is checked by its signature and never continued.
        if (!file.md5Sum.isEmpty())
            text += prefix + QByteArray::number(file.size) + ' ' + file.md5Sum.toLatin1() + ' ' + file.filePath.toUtf8()
                    + '\n';
    }
    // Removed and made anew rather than truncated or renamed over: ext4 writes a file replaced
    // in either way back to disk at once, and the record is worth no wait for the disk.
    QFile::remove(path);
    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::NewOnly) && out.write(text) == text.size() && out.flush();
}
