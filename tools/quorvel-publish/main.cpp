// quorvel-publish: the signing side of the updater's product ini signatures, and releases.
#include "commands.h"
#include "publishio.h"

#include "update/tomcryptutil.h"

#include <QCoreApplication>

#include <cstdio>
#include <new>

namespace {

void printUsage(std::FILE* out)
{
    std::fprintf(out, "Usage: quorvel-publish COMMAND ARGUMENTS\n\nCommands:\n");
    for (const Command& command : commands())
        std::fprintf(out, "  %s %s\n      %s\n", command.name, command.arguments, command.summary);
    std::fprintf(out,
                 "\nKey files are 2048 bytes: the DER of the PKCS #1 RSA key, zero filler after it.\n"
                 "Signatures are RSASSA-PSS with SHA-1 and an 8-byte salt, stored raw in FILE.sig.\n"
                 "Exit codes: 0 success, 1 failure (verify: signature not valid), 2 usage or key error.\n"
                 "\"quorvel-publish COMMAND --help\" tells more about one command.\n");
}

void printCommandUsage(const Command& command)
{
    std::printf("Usage: quorvel-publish %s %s\n\n%s\n", command.name, command.arguments, command.summary);
    if (*command.details)
        std::printf("\n%s\n", command.details);
    std::printf("\nExit codes: 0 success, 1 failure, 2 usage or key error.\n");
}

bool isHelp(const QString& arg)
{
    return arg == QLatin1String("--help") || arg == QLatin1String("-h") || arg == QLatin1String("help");
}

int run(QStringList args)
{
    if (args.isEmpty()) {
        printUsage(stderr);
        return ExitUsage;
    }
    if (isHelp(args.first())) {
        printUsage(stdout);
        return ExitOk;
    }
    const QString name = args.takeFirst();
    for (const Command& command : commands()) {
        if (name != QLatin1String(command.name))
            continue;
        if (args.size() == 1 && isHelp(args.first())) {
            printCommandUsage(command);
            return ExitOk;
        }
        try {
            crypt_init();
        } catch (const crypt_exception& e) {
            return fail(ExitFailed, QString::fromUtf8(e.what()));
        }
        return command.run(args);
    }
    return fail(ExitUsage, QStringLiteral("unknown command '%1' (see --help)").arg(name));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Exit codes stay 0, 1 or 2 even when memory runs out.
    try {
        return run(QCoreApplication::arguments().mid(1));
    } catch (const std::bad_alloc&) {
        return fail(ExitFailed, QStringLiteral("out of memory"));
    }
}
