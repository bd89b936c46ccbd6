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

struct Options
{
    QString configPath;
    QHostAddress address;
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
    QueryLog queryLog;
};

void addOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Answers the Quorvel 3 updater over UDP: the latest version of each channel and the news\n"
        "text (version port), and the banner image and click addresses (banner port), as given\n"
        "in the configuration file. See README.md for its format.\n"
        "On start it prints one line: listening <address> version-port <n> banner-port <n>,\n"
        "then one line saying what it announces to whom. Then it logs queries: time, peer,\n"
        "request kind, reply size (--query-log chooses which).\n"
        "SIGHUP rereads the configuration file; a file that does not parse leaves the\n"
        "previous configuration in force."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("config"), QStringLiteral("Configuration file to serve (required)."), QStringLiteral("file")},
        {QStringLiteral("address"), QStringLiteral("IPv4 or IPv6 address to bind (default 127.0.0.1)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("version-port"), QStringLiteral("UDP port of the version query (default 17384, 0 = any)."),
         QStringLiteral("port"), QStringLiteral("17384")},
        {QStringLiteral("banner-port"), QStringLiteral("UDP port of the banner query (default 2009, 0 = any)."),
         QStringLiteral("port"), QStringLiteral("2009")},
        {QStringLiteral("query-log"),
         QStringLiteral("Which queries are logged: all (default), errors (errors and rollout decisions) or 1/N "
                        "(one query in N)."),
         QStringLiteral("which"), QStringLiteral("all")},
    });
}

// An empty text when the options are good, else why not.
QString readOptions(const QCommandLineParser& parser, Options& options)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
    if (!parser.isSet(QStringLiteral("config")))
        return QStringLiteral("--config is required (see --help)");
    options.configPath = parser.value(QStringLiteral("config"));
    options.address = QHostAddress(parser.value(QStringLiteral("address")));
    if (options.address.isNull())
        return QStringLiteral("\"%1\" is not an IP address").arg(parser.value(QStringLiteral("address")));
    for (const auto& [name, port] : {std::pair{QStringLiteral("version-port"), &options.versionPort},
                                     std::pair{QStringLiteral("banner-port"), &options.bannerPort}}) {
        if (!parsePort(parser.value(name), *port))
            return QStringLiteral("bad --%1 \"%2\"").arg(name, parser.value(name));
    }
    if (!QueryLog::parse(parser.value(QStringLiteral("query-log")), options.queryLog))
        return QStringLiteral("bad --query-log \"%1\" (all, errors or 1/N)").arg(parser.value(QStringLiteral("query-log")));
    return QString();
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// What the server announces to whom, on start and after each reload.
void announce(LogWriter& log, const ServerConfig& config, const QueryLog& queryLog)
{
    log.writeLine(QStringLiteral("%1 announcing %2; query log: %3")
                      .arg(now(), config.announcement(), queryLog.describe())
                      .toUtf8());
}

void reload(UpdateServer& server, LogWriter& log, const Options& options)
{
    ServerConfig reloaded;
    QString reason;
    if (!ServerConfig::load(options.configPath, reloaded, reason)) {
        log.writeLine(QStringLiteral("%1 configuration not reloaded, the previous one stays: %2").arg(now(), reason).toUtf8());
        return;
    }
    server.setConfig(reloaded);
    log.writeLine(QStringLiteral("%1 configuration reloaded from %2").arg(now(), options.configPath).toUtf8());
    announce(log, reloaded, options.queryLog);
}
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-update-server"));
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    Options options;
    ServerConfig config;
    QString errorText = readOptions(parser, options);
    if (!errorText.isEmpty() || !ServerConfig::load(options.configPath, config, errorText))
        return fail(errorText);

    // A log reader that goes away costs the log, not the server.
    std::signal(SIGPIPE, SIG_IGN);
    LogWriter log(STDOUT_FILENO);
    UpdateServer server(config, log);
    server.setQueryLog(options.queryLog);
    if (!server.bind(options.address, options.versionPort, options.bannerPort, errorText))
        return fail(errorText);
    UnixSignals unixSignals({SIGHUP, SIGINT, SIGTERM}, false);
    if (!unixSignals.isValid())
        return fail(QStringLiteral("cannot set up signal handling"));
    QObject::connect(&unixSignals, &UnixSignals::received, &server, [&](int number) {
        if (number == SIGHUP)
            reload(server, log, options);
        else
            QCoreApplication::quit();
    });
    log.writeLine(QStringLiteral("listening %1 version-port %2 banner-port %3")
                      .arg(options.address.toString())
                      .arg(server.versionPort())
                      .arg(server.bannerPort())
                      .toUtf8());
    announce(log, config, options.queryLog);
    return app.exec();
}
