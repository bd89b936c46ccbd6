// The version-list reply of the latest-version query, as the socket hands it over.
#include "core/updatechecker.h"
#include "fuzzsupport.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The receive path: at most 511 bytes, cut at the first zero byte, Latin-1.
    QByteArray bytes = fuzzBytes(data, qMin<size_t>(size, 511));
    bytes.truncate(qsizetype(std::strlen(bytes.constData())));
    UpdateChecker checker(QStringLiteral("127.0.0.1"), 1, 1);
    checker.appendVersions(QString::fromLatin1(bytes));
    for (int channel = Stable; channel <= Alpha; ++channel)
        (void)checker.getClientVersionByChannel(static_cast<UpdateChannel>(channel));
    return 0;
}
