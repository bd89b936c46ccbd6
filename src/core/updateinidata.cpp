#include "core/updateinidata.h"

#include "core/configuration.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString Group = QStringLiteral("current");
const QString VersionKey = QStringLiteral("version");
const QString DirKey = QStringLiteral("dir");
const QString TypeKey = QStringLiteral("type");
const QString InstalledGroup = QStringLiteral("installed");
const QString LabelKey = QStringLiteral("label");
}

QString UpdateIniData::filename()
{
    return Configuration::updateIniPath();
}

bool UpdateIniData::isSessionDirectory(const QString& dir)
{
    const QFileInfo info(dir);
    if (!info.isAbsolute())
        return false;
    static const QRegularExpression name(QStringLiteral("^quorvel_temp_[0-9]+$"));
    if (!name.match(info.fileName()).hasMatch())
        return false;
    if (QDir::cleanPath(info.absolutePath()) != QDir::cleanPath(QDir::tempPath()))
        return false;
    struct stat st;
    if (::lstat(QFile::encodeName(dir).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(Group);
    bool ok = false;
    const int recordedVersion = settings.value(VersionKey).toString().toInt(&ok, 10);
    const QString recordedType = settings.value(TypeKey).toString();
    const QString recordedDir = settings.value(DirKey).toString();
    if (!ok || recordedType.isEmpty() || recordedDir.isEmpty() || !isSessionDirectory(recordedDir))
        return false;
    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(Group);
    settings.setValue(VersionKey, version);
    settings.setValue(DirKey, dir);
    settings.setValue(TypeKey, type);
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(Group);
}

bool UpdateIniData::getInstalled(int* version, QString* label)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(InstalledGroup);
    bool ok = false;
    const int installed = settings.value(VersionKey).toString().toInt(&ok, 10);
    if (!ok || installed <= 0)
        return false;
    if (version)
        *version = installed;
    if (label)
        *label = settings.value(LabelKey).toString();
    return true;
}

void UpdateIniData::setInstalled(int version, const QString& label)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(InstalledGroup);
    settings.setValue(VersionKey, version);
    settings.setValue(LabelKey, label);
}
