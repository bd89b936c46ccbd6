// quorvel-update-server: the update server's UDP side for the Quorvel 3 updater.
#include "core/unixsignals.h"
#include "logwriter.h"
#include "serverconfig.h"
#include "updateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
int fail(const QString& text)
{
    std::fprintf(stderr, "quorvel-update-server: %s\n", qPrintable(text));
    return 1;
}

bool parsePort(const QString& text, quint16& port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 65535)
        return false;
    port = static_cast<quint16>(value);
    return true;
}
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-update-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Answers the Quorvel 3 updater over UDP: the latest version of each channel and the news\n"
        "text (version port), and the banner image and click addresses (banner port), as given\n"
        "in the configuration file. See README.md for its format.\n"
        "On start it prints one line: listening <address> version-port <n> banner-port <n>.\n"
        "Then it prints one line per request: time, peer, request kind, reply size.\n"
        "SIGHUP rereads the configuration file; a file that does not parse leaves the\n"
        "previous configuration in force."));
    parser.addHelpOption();
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("Configuration file to serve (required)."),
                                          QStringLiteral("file"));
    const QCommandLineOption addressOption(QStringLiteral("address"),
                                           QStringLiteral("IPv4 or IPv6 address to bind (default 127.0.0.1)."),
                                           QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionPortOption(
        QStringLiteral("version-port"), QStringLiteral("UDP port of the version query (default 17384, 0 = any)."),
        QStringLiteral("port"), QStringLiteral("17384"));
    const QCommandLineOption bannerPortOption(
        QStringLiteral("banner-port"), QStringLiteral("UDP port of the banner query (default 2009, 0 = any)."),
        QStringLiteral("port"), QStringLiteral("2009"));
    parser.addOptions({configOption, addressOption, versionPortOption, bannerPortOption});
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    if (!parser.isSet(configOption))
        return fail(QStringLiteral("--config is required (see --help)"));

    const QHostAddress address(parser.value(addressOption));
    if (address.isNull())
        return fail(QStringLiteral("\"%1\" is not an IP address").arg(parser.value(addressOption)));
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
    if (!parsePort(parser.value(versionPortOption), versionPort))
        return fail(QStringLiteral("bad --version-port \"%1\"").arg(parser.value(versionPortOption)));
    if (!parsePort(parser.value(bannerPortOption), bannerPort))
        return fail(QStringLiteral("bad --banner-port \"%1\"").arg(parser.value(bannerPortOption)));

    ServerConfig config;
    QString errorText;
    if (!ServerConfig::load(parser.value(configOption), config, errorText))
        return fail(errorText);

    // A log reader that goes away costs the log, not the server.
    std::signal(SIGPIPE, SIG_IGN);
    LogWriter log(STDOUT_FILENO);
    UpdateServer server(config, log);
    if (!server.bind(address, versionPort, bannerPort, errorText))
        return fail(errorText);
    UnixSignals unixSignals({SIGHUP, SIGINT, SIGTERM}, false);
    if (!unixSignals.isValid())
        return fail(QStringLiteral("cannot set up signal handling"));
    const QString configPath = parser.value(configOption);
    const auto reload = [&server, &log, configPath] {
        ServerConfig reloaded;
        QString reason;
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        if (ServerConfig::load(configPath, reloaded, reason)) {
            server.setConfig(reloaded);
            log.writeLine(QStringLiteral("%1 configuration reloaded from %2").arg(now, configPath).toUtf8());
        } else {
            log.writeLine(QStringLiteral("%1 configuration not reloaded, the previous one stays: %2")
                              .arg(now, reason)
                              .toUtf8());
        }
    };
    QObject::connect(&unixSignals, &UnixSignals::received, &server, [reload](int number) {
        if (number == SIGHUP)
            reload();
        else
            QCoreApplication::quit();
    });
    log.writeLine(QStringLiteral("listening %1 version-port %2 banner-port %3")
                      .arg(address.toString())
                      .arg(server.versionPort())
                      .arg(server.bannerPort())
                      .toUtf8());
    return app.exec();
}
