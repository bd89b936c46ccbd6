#pragma once

#include <QByteArray>

// True when the program was built with the demo public key, so tests can sign product inis.
bool builtWithDemoKey();
// Detached signature of data with the demo private key; crypt_init() must have run.
QByteArray signWithDemoKey(const QByteArray& data);
