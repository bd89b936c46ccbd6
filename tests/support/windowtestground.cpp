#include "support/windowtestground.h"

#include "core/configuration.h"

bool WindowTestGround::prepare()
{
    if (!tmp.isValid() || !bannerSink.bind(QHostAddress::LocalHost, 0))
        return false;
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    const QByteArray port = QByteArray::number(bannerSink.localPort());
    qputenv("QUORVEL_UPDATE_SERVER_ADDRESS", "127.0.0.1:" + port + ":" + port);
    return true;
}

bool WindowTestGround::newRoot()
{
    root = std::make_unique<QTemporaryDir>();
    if (!root->isValid())
        return false;
    Configuration::setAppRootPath(root->path());
    return true;
}

void WindowTestGround::dropRoot()
{
    Configuration::setAppRootPath(QString());
    root.reset();
}
