#pragma once

#include <QByteArray>
#include <QString>

// Writes data to path, creating missing parent directories.
bool writeTestFile(const QString& path, const QByteArray& data);
// The whole content, or a null array if the file cannot be read.
QByteArray readTestFile(const QString& path);
// Writes data gzip-compressed (zlib's gzip writer), creating missing parent directories.
bool writeGzipTestFile(const QString& path, const QByteArray& data);
// The data gzip-compressed, in memory.
QByteArray gzipData(const QByteArray& data);
// A gzip stream decompressed; a null array when it is not a whole, valid one.
QByteArray gunzipData(const QByteArray& packed);
// size bytes that do not compress, the same for the same seed.
QByteArray randomTestData(qsizetype size, quint32 seed);
// Lower-case hexadecimal MD5 of data.
QString md5Hex(const QByteArray& data);
