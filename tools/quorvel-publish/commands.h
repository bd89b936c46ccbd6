#pragma once

#include <QStringList>

// Exit codes of every subcommand.
enum ExitCode {
    ExitOk = 0,
    ExitFailed = 1, // the work could not be done, or (verify) the signature does not match
    ExitUsage = 2   // bad arguments or an unusable key
};

struct Command
{
    const char* name;
    const char* arguments; // shown in the usage text
    const char* summary;
    const char* details; // more for "COMMAND --help", may be empty
    // Takes the arguments after the subcommand name; reports failures itself.
    int (*run)(const QStringList& args);
};

// All subcommands, in the order of the usage text. A new subcommand is one more entry.
const QList<Command>& commands();

int genkeyCommand(const QStringList& args);
int signCommand(const QStringList& args);
int verifyCommand(const QStringList& args);
int releaseCommand(const QStringList& args);
int auditCommand(const QStringList& args);
