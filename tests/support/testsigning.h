#pragma once

#include <QByteArray>

// Detached signature of data with the tests' private key (tests/keys), the pair whose public
// half the tests' copy of the library and update_test embed, whatever key ships.
QByteArray signWithTestKey(const QByteArray& data);

// Detached signature of data by a key pair made for this call, which no updater trusts.
QByteArray signWithNewKey(const QByteArray& data);
