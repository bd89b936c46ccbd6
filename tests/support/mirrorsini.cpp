#include "support/mirrorsini.h"

#include "core/qrandcompat.h"
#include "net/mirrors.h"
#include "support/testhttpserver.h"

#include <QSettings>

void steerDraws(const QList<int>& picks)
{
    for (quint32 seed = 1;; ++seed) {
        qsrandCompat(seed);
        bool all = true;
        for (const int pick : picks)
            all = all && qrandCompat() % 2 == pick;
        if (all) {
            qsrandCompat(seed);
            return;
        }
    }
}

bool writeMirrorsIni(const QString& path, const QList<TestMirrorEntry>& entries)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.clear();
    settings.beginWriteArray(QStringLiteral("mirrors"), int(entries.size()));
    for (int i = 0; i < entries.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("mirror"), entries.at(i).name);
    }
    settings.endArray();
    for (const TestMirrorEntry& entry : entries) {
        if (entry.name.trimmed().isEmpty())
            continue;
        settings.beginGroup(entry.name.trimmed());
        if (!entry.url.isNull())
            settings.setValue(QStringLiteral("url"), entry.url);
        if (!entry.retries.isEmpty())
            settings.setValue(QStringLiteral("retries"), entry.retries);
        settings.endGroup();
    }
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool writeMirrorsIni(const QString& path, const QList<TestHttpServer*>& servers, int retries)
{
    QList<TestMirrorEntry> entries;
    for (int i = 0; i < servers.size(); ++i)
        entries.append({testMirrorName(i), servers.at(i)->baseUrl(), QString::number(retries)});
    return writeMirrorsIni(path, entries);
}

QString testMirrorName(int index)
{
    return QStringLiteral("mirror%1").arg(index + 1);
}

int usedSlots(const Mirrors& pool)
{
    int maxUse = 0, used = 0;
    pool.calcUseStats(maxUse, used);
    return used;
}

bool startTestMirrors(int count, QObject* owner, const QString& iniPath, int version, Mirrors& pool,
                      QList<TestHttpServer*>& servers)
{
    for (int i = 0; i < count; ++i) {
        servers << new TestHttpServer(owner);
        if (!servers.last()->listen())
            return false;
    }
    if (!writeMirrorsIni(iniPath, servers))
        return false;
    pool.initDefault(iniPath, version);
    return pool.getMirrorList().size() == servers.size();
}
