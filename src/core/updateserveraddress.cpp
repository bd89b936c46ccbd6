#include "core/updateserveraddress.h"

#include "buildconfig.h"

#include <QStringList>
#include <QtGlobal>

namespace {
bool parsePort(const QString& text, quint16& port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value == 0 || value > 65535)
        return false;
    port = static_cast<quint16>(value);
    return true;
}
}

UpdateServerAddress UpdateServerAddress::current()
{
    UpdateServerAddress address;
    address.host = QStringLiteral(QUORVEL_UPDATE_SERVER);
    const QString override = qEnvironmentVariable("QUORVEL_UPDATE_SERVER_ADDRESS");
    if (!override.isEmpty() && !parse(override, address))
        qWarning("Ignoring malformed QUORVEL_UPDATE_SERVER_ADDRESS \"%s\"", qPrintable(override));
    return address;
}

bool UpdateServerAddress::parse(const QString& text, UpdateServerAddress& result)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 3 || parts.at(0).isEmpty())
        return false;
    UpdateServerAddress parsed = result;
    parsed.host = parts.at(0);
    if (!parsePort(parts.at(1), parsed.versionPort))
        return false;
    if (parts.size() == 3 && !parsePort(parts.at(2), parsed.bannerPort))
        return false;
    result = parsed;
    return true;
}
