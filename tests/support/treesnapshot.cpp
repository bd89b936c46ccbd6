#include "support/treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

QStringList snapshotTree(const QString& root)
{
    QStringList lines;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString mode = QString::number(int(info.permissions()), 16);
        const QString rel = base.relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            lines << QStringLiteral("%1 link %2").arg(rel, info.symLinkTarget());
        } else if (info.isDir()) {
            lines << QStringLiteral("%1 dir %2").arg(rel, mode);
        } else {
            QFile file(info.filePath());
            QCryptographicHash hash(QCryptographicHash::Md5);
            const bool read = file.open(QIODevice::ReadOnly) && hash.addData(&file);
            lines << QStringLiteral("%1 file %2 %3").arg(rel, mode,
                                                         read ? QString::fromLatin1(hash.result().toHex())
                                                              : QStringLiteral("unreadable"));
        }
    }
    lines.sort();
    return lines;
}

QStringList snapshotContents(const QString& root)
{
    static const QRegularExpression mode(QStringLiteral(" (file|dir) [0-9a-f]+"));
    return snapshotTree(root).replaceInStrings(mode, QStringLiteral(" \\1"));
}
