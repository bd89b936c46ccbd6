#include "support/testrelease.h"

#include "support/testfiles.h"
#include "support/testsigning.h"

#include <QSettings>
#include <QTemporaryDir>

namespace {
const QString Section = QStringLiteral("files");

QString downloadName(const TestRelease& release, const QString& path)
{
    return release.gzipped.contains(path) ? path + QStringLiteral(".gz") : path;
}
}

QByteArray TestRelease::productIni() const
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("product.ini"));
    {
        QSettings ini(path, QSettings::IniFormat);
        ini.beginGroup(Section);
        for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
            if (gzipped.contains(it.key())) {
                const QByteArray packed = gzipData(it.value());
                ini.setValue(downloadName(*this, it.key()),
                             QStringList{md5Hex(packed), QString::number(packed.size()), md5Hex(it.value()),
                                         QString::number(it.value().size()), it.key()}
                                 .join(QStringLiteral("::")));
            } else {
                ini.setValue(it.key(),
                             md5Hex(it.value()) + QStringLiteral("::") + QString::number(it.value().size()));
            }
        }
        ini.endGroup();
        for (const QString& gone : deleted)
            ini.setValue(QStringLiteral("delete/") + gone, 1);
    }
    return readTestFile(path);
}

bool TestRelease::publish(const QString& mirrorRoot) const
{
    const QString base = mirrorRoot + QLatin1Char('/') + QString::number(version) + QLatin1Char('/');
    const QByteArray ini = productIni();
    bool ok = writeTestFile(base + clientType + QStringLiteral(".ini"), ini)
        && writeTestFile(base + clientType + QStringLiteral(".ini.sig"), signWithTestKey(ini));
    for (auto it = files.constBegin(); ok && it != files.constEnd(); ++it) {
        const QByteArray served = gzipped.contains(it.key()) ? gzipData(it.value()) : it.value();
        ok = writeTestFile(base + Section + QLatin1Char('/') + downloadName(*this, it.key()), served);
    }
    return ok;
}

bool TestRelease::install(const QString& installRoot) const
{
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!writeTestFile(installRoot + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}
