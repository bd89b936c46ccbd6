#include "net/mirrors.h"

#include "core/qrandcompat.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

namespace {
// The first line (from 1) that an INI reader cannot take, or 0. Only the start of a file
// that is no mirror list at all is looked at.
int firstMalformedLine(QFile& file)
{
    constexpr int MaxLines = 10000;
    for (int number = 1; number <= MaxLines && !file.atEnd(); ++number) {
        const QByteArray line = file.readLine(4096).trimmed();
        const bool group = line.startsWith('[') && line.endsWith(']');
        if (!line.isEmpty() && !line.startsWith(';') && !line.startsWith('#') && !group && !line.contains('='))
            return number;
    }
    return 0;
}

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
    if (mirrorList.isEmpty())
        loadProblem = whyEmpty(path, int(present.size()));
    return true;
}

QString Mirrors::whyEmpty(const QString& path, int entries)
{
    QString cause;
    QFile file(path);
    int badLine = 0;
    if (!QFileInfo::exists(path))
        cause = QStringLiteral("the file does not exist");
    else if (!file.open(QIODevice::ReadOnly))
        cause = QStringLiteral("cannot read it: %1").arg(file.errorString());
    else if ((badLine = firstMalformedLine(file)) > 0)
        cause = QStringLiteral("line %1 is neither a [group] nor a key=value pair").arg(badLine);
    else if (entries == 0)
        cause = QStringLiteral("it lists no mirrors ([mirrors] needs size=N and 1\\mirror=NAME up to N\\mirror=NAME)");
    else
        cause = QStringLiteral("every mirror name in it is empty");
    return QStringLiteral("No mirror could be loaded from %1: %2").arg(path, cause);
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
    return getRandomMirror(out, QStringList());
}

int Mirrors::getRandomMirror(FTPSiteAccessData& out, const QStringList& avoid)
{
    if (mirrorList.isEmpty()) {
        if (!noMirrorsReported) {
            Q_EMIT message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
            // Which of the two it was: nothing usable in the list, or every mirror failed.
            if (!loadProblem.isEmpty())
                Q_EMIT message(loadProblem);
            else if (!dropped.isEmpty())
                Q_EMIT message(QStringLiteral("Mirrors given up: %1").arg(dropped.join(QStringLiteral("; "))));
        }
        return MirrorsExhausted;
    }
    int totalMaxUse = 0;
    int totalUseCount = 0;
    calcUseStats(totalMaxUse, totalUseCount);
    if (totalUseCount >= totalMaxUse)
        return MirrorsBusy;

    int freeElsewhere = 0;
    for (const FTPSiteAccessData& site : std::as_const(mirrorList)) {
        if (!avoid.contains(site.name))
            freeElsewhere += site.maxUse - site.useCount;
    }
    const bool skipAvoided = freeElsewhere > 0 && !avoid.isEmpty();
    // Each mirror wins with a probability proportional to its free slots.
    int r = qrandCompat() % (skipAvoided ? freeElsewhere : totalMaxUse - totalUseCount);
    for (FTPSiteAccessData& site : mirrorList) {
        if (skipAvoided && avoid.contains(site.name))
            continue;
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

void Mirrors::addMirrorError(const QString& name, const QString& reason)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData& site = mirrorList[index];
    ++site.errorCount;
    if (site.errorCount > site.retries) {
        Q_EMIT message(tr("Mirror %1 failed too many times, removing").arg(name));
        drop(index, reason);
    }
}

void Mirrors::removeMirror(const QString& name, const QString& reason)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    drop(index, reason);
    Q_EMIT slotReleased();
}

void Mirrors::drop(int index, const QString& reason)
{
    const FTPSiteAccessData& site = mirrorList.at(index);
    dropped.append(QStringLiteral("%1 (%2): %3")
                       .arg(site.name, site.url, reason.isEmpty() ? QStringLiteral("failed") : reason));
    mirrorList.remove(index);
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
