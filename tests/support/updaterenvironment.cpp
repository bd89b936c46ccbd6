#include "support/updaterenvironment.h"

QProcessEnvironment unattendedUpdaterEnvironment(const QString& tmp, quint16 silentUdpPort)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"), QStringLiteral("127.0.0.1:%1:%1").arg(silentUdpPort));
    env.insert(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_LOG_STDERR"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_TEST_AUTOSTART_MS"), QStringLiteral("0"));
    return env;
}
