#include "commands.h"

const QList<Command>& commands()
{
    static const QList<Command> table = {
        {"genkey", "[--force] PRIVATE PUBLIC",
         "Create a 1024-bit RSA key pair as two 2048-byte key files. Existing files are kept unless "
         "--force is given.",
         "", genkeyCommand},
        {"sign", "PRIVATE FILE", "Sign FILE with the private key; the signature goes to FILE.sig.",
         "FILE is read in pieces, so its size is not limited by memory.", signCommand},
        {"verify", "PUBLIC FILE",
         "Check FILE.sig against FILE with the public key. Exit code 0: valid, 1: not valid, 2: usage or key "
         "error.",
         "", verifyCommand},
        {"release",
         "--key PRIVATE --version N [--type CLIENT_TYPE] [--changelog FILE] [--previous OLD] [--allow-special] "
         "RELEASE_DIR MIRROR_ROOT",
         "Publish the files of RELEASE_DIR as version N: writes MIRROR_ROOT/N/ with the signed product ini "
         "CLIENT_TYPE.ini (default client_linux_amd64), every file under its section and the change log.",
         "Files that gzip makes at least a tenth smaller are published compressed (section \"gzip\"), the\n"
         "others as they are (section \"files\"). OLD, the previous release as its product ini or its\n"
         "folder, gives the \"delete\" section: its files that this release no longer has, and the files\n"
         "it deleted itself. Symbolic links are followed when they stay inside RELEASE_DIR. Files with\n"
         "an execute bit are listed as programs (key \"executables\", outside every section), and the\n"
         "updater installs them executable.\n"
         "Refused, with nothing written: an existing MIRROR_ROOT/N, links that lead out of RELEASE_DIR,\n"
         "names the updater cannot read (control characters, backslashes, not UTF-8) or that collide\n"
         "in the product ini, paths of OLD that climb out of the installation, and the updater's own\n"
         "files (update, its Qt libraries, update.ini, mirrors.ini) unless --allow-special is given.\n"
         "The new version appears in one step, so mirrors never serve half of it.",
         releaseCommand},
        {"audit",
         "--key PUBLIC --version N [--type CLIENT_TYPE] [--deep] [--require PERCENT] [--json] [--streams N] "
         "MIRRORS_INI",
         "Check every mirror of the updater's MIRRORS_INI for version N: the product ini and its signature, "
         "and every file it lists, there and of the listed size (with --deep of the listed MD5 too).",
         "Prints one line per mirror: complete, missing N, wrong size N, wrong MD5 N (with the first file\n"
         "names), ini differs (validly signed, but not the product ini most of the pool serves), signature\n"
         "invalid, or unreachable; then the share of the pool's weight that is complete. Exit code 0 when\n"
         "every mirror is complete, or with --require when at least PERCENT of the weight is; 1 when not.\n"
         "--json prints the same as a JSON document with every file name. --streams sets the transfers\n"
         "at a time (default 6), taken in turn from the mirrors; every transfer goes over the updater's\n"
         "own transport with its limits. On a terminal a progress line goes to stderr.",
         auditCommand},
    };
    return table;
}
