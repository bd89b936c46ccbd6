#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

// A private scratch directory for the whole fuzzing process.
inline const QTemporaryDir& fuzzDir()
{
    static const QTemporaryDir dir;
    return dir;
}

inline QByteArray fuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// A file name not used before in this process: the INI reader caches files by name.
inline QString freshPath(const QString& suffix)
{
    static quint64 counter = 0;
    return fuzzDir().filePath(QStringLiteral("f%1%2").arg(++counter).arg(suffix));
}

inline bool writeFuzzFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
