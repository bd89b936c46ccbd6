#pragma once

// How the program ends, so that a script running it unattended can tell the kinds of failure
// apart. `update --help` and the README list them too: keep the three in step.
enum ExitCode {
    ExitSuccess = 0,       // updated or already current; another update runs; --help, --version
    ExitConfiguration = 1, // command line, update.ini, mirrors.ini or the temporary directory
    ExitUpdateServer = 2,  // the version query failed or gave no usable version
    ExitDownload = 3,      // a download failed on every mirror, or no mirror answered
    ExitUntrusted = 4,     // the product description failed its signature check or is unusable
    ExitInstall = 5,       // installing failed; the installation was rolled back
    ExitCancelled = 6      // cancelled by the user, SIGINT or SIGTERM
};
