#pragma once

#include "update/tomcryptutil.h"

#include <QByteArray>
#include <QString>

// One-line report on stderr, prefixed with the program name; returns code for chaining.
int fail(int code, const QString& text);

// Loads a key file; on failure prints "... is not a usable key file" and returns false (the
// key is then unused). A key that is cut short, does not import or (private) cannot make a
// signature that it verifies itself is not usable; the filler after the key is ignored.
bool loadKeyFile(const QString& path, Rsa_key* key);

// Writes a key file (save_key) under a temporary name in the target directory and moves it
// into place, so a failure never leaves a partial file behind. Without overwrite an existing
// target is kept and the call fails. Throws crypt_exception; the text names the path.
void saveKeyFile(Rsa_key* key, int type, const QString& path, bool overwrite);

// Writes data in one piece (temporary file and rename); on failure prints why.
bool writeWholeFile(const QString& path, const QByteArray& data);
// Reads a small file whole (signatures); on failure prints why. Larger than maxSize fails.
bool readSmallFile(const QString& path, QByteArray& data, qint64 maxSize);

// SHA-1 of a file, read in pieces so memory stays flat whatever its size; prints why not.
bool sha1OfFile(const QString& path, QByteArray& digest);

// A build number (1 to 999999999) and a client type (letters, digits, "_", ".", "-"), as a
// release is published; false with the reason, naming the option, when not.
bool checkVersionAndType(const QString& version, const QString& type, QString& error);

// Signs filePath with a loaded key into filePath.sig; reports failures itself.
int signFile(Rsa_key* key, const QString& keyPath, const QString& filePath);
