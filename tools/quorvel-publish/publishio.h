#pragma once

#include "update/tomcryptutil.h"

#include <QByteArray>
#include <QString>

// One-line report on stderr, prefixed with the program name; returns code for chaining.
int fail(int code, const QString& text);

// Loads a key file; on failure prints why and returns false (the key is then unused).
bool loadKeyFile(const QString& path, Rsa_key* key);

// Writes a key file (save_key) under a temporary name in the target directory and moves it
// into place, so a failure never leaves a partial file behind. Without overwrite an existing
// target is kept and the call fails. Throws crypt_exception; the text names the path.
void saveKeyFile(Rsa_key* key, int type, const QString& path, bool overwrite);

// Writes data in one piece (temporary file and rename); on failure prints why.
bool writeWholeFile(const QString& path, const QByteArray& data);
// Reads a whole file; on failure prints why.
bool readWholeFile(const QString& path, QByteArray& data);
