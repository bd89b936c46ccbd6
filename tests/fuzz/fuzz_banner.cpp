// The banner reply as the socket hands it over, and the addresses taken from it.
#include "fuzzsupport.h"
#include "ui/banner.h"

#include <QUrl>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The receive path reads at most 1024 bytes of a datagram.
    const QByteArray reply = fuzzBytes(data, qMin<size_t>(size, 1024));
    QString bannerUrl;
    QString clickUrl;
    if (!Banner::parseReply(reply, bannerUrl, clickUrl))
        return 0;
    // Neither field may hold the separator: the reply would have had more than two fields.
    if (bannerUrl.contains(QLatin1Char(',')) || clickUrl.contains(QLatin1Char(',')))
        __builtin_trap();
    const QUrl image(bannerUrl);
    const QUrl click(clickUrl);
    (void)image.isValid();
    (void)image.toEncoded();
    (void)click.scheme();
    (void)click.host();
    return 0;
}
