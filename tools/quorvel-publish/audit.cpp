#include "commands.h"
#include "mirroraudit.h"
#include "publishio.h"
#include "releasefiles.h"

#include "net/httpaccessmanager.h"
#include "net/mirrors.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

namespace {

struct AuditOptions
{
    QString keyPath;
    QString version;
    QString type = QStringLiteral("client_linux_amd64");
    QString require = QStringLiteral("100");
    QString streams = QStringLiteral("6");
    bool deep = false;
    bool json = false;
    QString mirrorsIni;
};

// Sorts the arguments into options; false with the reason for an unknown or incomplete one.
bool takeArguments(const QStringList& args, AuditOptions& options, QStringList& positional, QString& error)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        bool* flag = arg == QLatin1String("--deep") ? &options.deep : arg == QLatin1String("--json") ? &options.json : nullptr;
        QString* value = arg == QLatin1String("--key")       ? &options.keyPath
                         : arg == QLatin1String("--version") ? &options.version
                         : arg == QLatin1String("--type")    ? &options.type
                         : arg == QLatin1String("--require") ? &options.require
                         : arg == QLatin1String("--streams") ? &options.streams
                                                             : nullptr;
        if (flag) {
            *flag = true;
        } else if (value && i + 1 < args.size()) {
            *value = args.at(++i);
        } else if (value || arg.startsWith(QLatin1String("--"))) {
            error = value ? QStringLiteral("%1 needs a value").arg(arg) : QStringLiteral("unknown option %1").arg(arg);
            return false;
        } else {
            positional << arg;
        }
    }
    return true;
}

bool parseAuditOptions(const QStringList& args, AuditOptions& options, double& require, int& streams, QString& error)
{
    QStringList positional;
    if (!takeArguments(args, options, positional, error))
        return false;
    if (positional.size() != 1 || options.keyPath.isEmpty() || options.version.isEmpty()) {
        error = QStringLiteral("audit needs --key, --version and MIRRORS_INI");
        return false;
    }
    options.mirrorsIni = positional.first();
    bool ok = false;
    require = options.require.toDouble(&ok);
    if (!ok || !(require > 0 && require <= 100)) {
        error = QStringLiteral("--require \"%1\" is not a percentage above 0 and at most 100").arg(options.require);
        return false;
    }
    streams = options.streams.toInt(&ok);
    if (!ok || streams < 1 || streams > 64) {
        error = QStringLiteral("--streams \"%1\" is not a number from 1 to 64").arg(options.streams);
        return false;
    }
    return checkVersionAndType(options.version, options.type, error);
}

// Runs the audit on the event loop; a progress line on stderr when it is a terminal.
void runAudit(MirrorAudit& audit, bool deep)
{
    std::optional<Progress> progress;
    QObject::connect(&audit, &MirrorAudit::filesListed, &audit, [&progress, deep](int checks, quint64 bytes) {
        progress.emplace(checks, deep ? bytes : 0);
    });
    QObject::connect(&audit, &MirrorAudit::fileChecked, &audit, [&progress] { progress->fileDone(); });
    QObject::connect(&audit, &MirrorAudit::bytesReceived, &audit, [&progress](qint64 count) {
        if (progress)
            progress->add(quint64(count));
    });
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&audit, &MirrorAudit::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    audit.start();
    if (!finished)
        loop.exec();
}

} // namespace

// audit --key PUBLIC --version N [--type T] [--deep] [--require PERCENT] [--json] [--streams N] MIRRORS_INI
int auditCommand(const QStringList& args)
{
    AuditOptions options;
    double require = 100;
    int streams = 6;
    QString error;
    if (!parseAuditOptions(args, options, require, streams, error))
        return fail(ExitUsage, error + QStringLiteral(" (see audit --help)"));
    Rsa_key key;
    if (!loadKeyFile(options.keyPath, &key))
        return ExitUsage;
    const auto freeKey = qScopeGuard([&key] { rsa_free(&key); });
    if (!QFileInfo(options.mirrorsIni).isFile())
        return fail(ExitUsage, QStringLiteral("cannot read %1").arg(options.mirrorsIni));
    Mirrors pool(nullptr);
    pool.initDefault(options.mirrorsIni, options.version.toInt());
    if (pool.getMirrorList().isEmpty())
        return fail(ExitUsage, QStringLiteral("%1 names no mirror").arg(options.mirrorsIni));
    QTemporaryDir work;
    if (!work.isValid())
        return fail(ExitUsage, QStringLiteral("cannot create a temporary folder: %1").arg(work.errorString()));

    HttpAccessManager manager;
    MirrorAudit audit(&manager, pool.getMirrorList(), &key,
                      {options.type, options.version.toInt(), options.deep, streams, work.path()});
    runAudit(audit, options.deep);
    if (!audit.localError().isEmpty())
        return fail(ExitUsage, audit.localError());
    const AuditSummary& summary = audit.summary();
    const int code = summary.completeWeight() * 100.0 >= require * summary.totalWeight() ? ExitOk : ExitFailed;
    const QByteArray report = options.json ? jsonReport(summary, code) : textReport(summary).toUtf8();
    std::fwrite(report.constData(), 1, size_t(report.size()), stdout);
    return code;
}
