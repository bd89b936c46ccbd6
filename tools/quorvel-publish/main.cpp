// quorvel-publish: the signing side of the updater's product ini signatures.
#include "commands.h"
#include "publishio.h"

#include "update/tomcryptutil.h"

#include <cstdio>

namespace {

void printUsage(std::FILE* out)
{
    std::fprintf(out, "Usage: quorvel-publish COMMAND ARGUMENTS\n\nCommands:\n");
    for (const Command& command : commands())
        std::fprintf(out, "  %s %s\n      %s\n", command.name, command.arguments, command.summary);
    std::fprintf(out,
                 "\nKey files are 2048 bytes: the DER of the PKCS #1 RSA key, zero filler after it.\n"
                 "Signatures are RSASSA-PSS with SHA-1 and an 8-byte salt, stored raw in FILE.sig.\n"
                 "Exit codes: 0 success, 1 failure (verify: signature not valid), 2 usage or key error.\n");
}

bool isHelp(const QString& arg)
{
    return arg == QLatin1String("--help") || arg == QLatin1String("-h") || arg == QLatin1String("help");
}

} // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.isEmpty()) {
        printUsage(stderr);
        return ExitUsage;
    }
    if (isHelp(args.first()) || (args.size() > 1 && isHelp(args.at(1)))) {
        printUsage(stdout);
        return ExitOk;
    }
    const QString name = args.takeFirst();
    for (const Command& command : commands()) {
        if (name != QLatin1String(command.name))
            continue;
        try {
            crypt_init();
        } catch (const crypt_exception& e) {
            return fail(ExitFailed, QString::fromUtf8(e.what()));
        }
        return command.run(args);
    }
    return fail(ExitUsage, QStringLiteral("unknown command '%1' (see --help)").arg(name));
}
