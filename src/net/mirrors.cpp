#include "net/mirrors.h"

#include "core/qrandcompat.h"

#include <QSettings>

#include <algorithm>

namespace {
QString baseUrl(QString url, int version)
{
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::number(version);
}
}

Mirrors::Mirrors(QObject* parent)
    : QObject(parent)
{
}

bool Mirrors::initDefault(const QString& path, int version)
{
    QSettings settings(path, QSettings::IniFormat);
    const QList<int> present = presentEntries(settings);
    settings.beginReadArray(QStringLiteral("mirrors"));
    for (const int index : present) {
        settings.setArrayIndex(index);
        const QString name = settings.value(QStringLiteral("mirror")).toString().trimmed();
        // Every operation finds a mirror by name: a second record of the same name could be
        // drawn but never released, and its use counts would go wrong for the session.
        if (name.isEmpty() || getMirrorIndex(name) >= 0)
            continue;
        FTPSiteAccessData site;
        site.name = name;
        mirrorList.append(site);
    }
    settings.endArray();
    setDefaults(settings, version);
    return true;
}

QList<int> Mirrors::presentEntries(QSettings& settings)
{
    settings.beginGroup(QStringLiteral("mirrors"));
    const QStringList groups = settings.childGroups();
    settings.endGroup();
    const int size = settings.beginReadArray(QStringLiteral("mirrors"));
    settings.endArray();
    QList<int> present;
    for (const QString& group : groups) {
        bool ok = false;
        const int index = group.toInt(&ok);
        if (ok && index >= 1 && index <= size)
            present.append(index - 1);
    }
    std::sort(present.begin(), present.end());
    return present;
}

bool Mirrors::initAlpha(const QString& path, int version)
{
    QSettings settings(path, QSettings::IniFormat);
    const QString url = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (url.isEmpty()) {
        Q_EMIT fatalError(QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData site;
    site.name = QStringLiteral("Alpha Channel");
    site.url = baseUrl(url, version);
    site.retries = 4;
    mirrorList.append(site);
    return true;
}

void Mirrors::setDefaults(QSettings& settings, int version)
{
    for (FTPSiteAccessData& site : mirrorList) {
        settings.beginGroup(site.name);
        site.url = baseUrl(settings.value(QStringLiteral("url")).toString(), version);
        // Parsed from the text: QVariant would wrap a value beyond 32 bits silently.
        // Unparsable, zero and beyond the signed range all fall back to the default.
        bool ok = false;
        const uint retries = settings.value(QStringLiteral("retries"), QStringLiteral("2")).toString().toUInt(&ok);
        site.retries = ok ? static_cast<qint32>(retries) : 0;
        if (site.retries <= 0)
            site.retries = 2;
        settings.endGroup();
    }
}

int Mirrors::getRandomMirror(FTPSiteAccessData& out)
{
    if (mirrorList.isEmpty()) {
        if (!noMirrorsReported) {
            Q_EMIT message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
        }
        return MirrorsExhausted;
    }
    int totalMaxUse = 0;
    int totalUseCount = 0;
    calcUseStats(totalMaxUse, totalUseCount);
    if (totalUseCount >= totalMaxUse)
        return MirrorsBusy;

    // Each mirror wins with a probability proportional to its free slots.
    int r = qrandCompat() % (totalMaxUse - totalUseCount);
    for (FTPSiteAccessData& site : mirrorList) {
        r -= site.maxUse - site.useCount;
        if (r < 0) {
            ++site.useCount;
            out = site;
            return MirrorAssigned;
        }
    }
    return MirrorsExhausted;
}

void Mirrors::releaseMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    --mirrorList[index].useCount;
    Q_EMIT slotReleased();
}

void Mirrors::addMirrorError(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData& site = mirrorList[index];
    ++site.errorCount;
    if (site.errorCount > site.retries) {
        Q_EMIT message(tr("Mirror %1 failed too many times, removing").arg(name));
        mirrorList.remove(index);
    }
}

void Mirrors::removeMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    mirrorList.remove(index);
    Q_EMIT slotReleased();
}

int Mirrors::getMirrorIndex(const QString& name) const
{
    for (int i = 0; i < mirrorList.size(); ++i) {
        if (mirrorList.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int& totalMaxUse, int& totalUseCount) const
{
    totalMaxUse = 0;
    totalUseCount = 0;
    for (const FTPSiteAccessData& site : mirrorList) {
        totalMaxUse += site.maxUse;
        totalUseCount += site.useCount;
    }
}
