#include "commands.h"

const QList<Command>& commands()
{
    static const QList<Command> table = {
        {"genkey", "[--force] PRIVATE PUBLIC",
         "Create a 1024-bit RSA key pair as two 2048-byte key files. Existing files are kept unless "
         "--force is given.",
         genkeyCommand},
        {"sign", "PRIVATE FILE", "Sign FILE with the private key; the signature goes to FILE.sig.", signCommand},
        {"verify", "PUBLIC FILE",
         "Check FILE.sig against FILE with the public key. Exit code 0: valid, 1: not valid, 2: usage or key "
         "error.",
         verifyCommand},
    };
    return table;
}
