#pragma once

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// Position of a channel in the update server's version list.
enum UpdateChannel {
    Stable = 0,
    Beta = 1,
    Alpha = 2
};

// Everything one run needs to know before an update starts: what to install, from which
// channel, the texts to show, the temporary directory, proxy and download concurrency.
// Exactly one exists, created by main.
class Configuration : public QObject
{
    Q_OBJECT

public:
    Configuration();

    // The installation directory: the directory of the running executable, unless a
    // test has pointed it elsewhere with setAppRootPath.
    static QString getAppRootPath();
    // Test seam: an empty path restores the executable's directory.
    static void setAppRootPath(const QString& path);
    static QString getUpdateType();
    static QString getClientBinaryName();
    static const QString& getSpecialFileRenamePrefix();
    static QStringList getSpecialFileNames();
    // Full path of "update.ini" in the installation directory.
    static QString updateIniPath();

    bool isSpecialFileName(const QString& fileName) const;

    void getProxyAndDownloadConcurrency();
    bool createTempDir();
    bool initalizeStart(const QString& previousDir);
    bool getClientVersionFromString(const QString& text, const QString& errorFormat);
    bool getClientTypeVersion(const QStringList& args, int index);
    void getUpdateChannel();
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString& news);
    bool getDefaultParameters();
    bool parseCommandLineOptions();
    // The same evaluation over a given argument list (argument 0 is the program).
    bool parseCommandLineOptions(const QStringList& arguments);

    // Decides, after a failed version query, whether to ask again (true) or give up.
    // Empty means the Retry/Abort box; tests put their own decision here.
    std::function<bool()> retryQuery;

    int unattended = 0;
    // Set when parseCommandLineOptions failed because the update server gave no usable
    // version (no answer, an abort in the retry box, no entry for the channel, a bad number).
    bool versionQueryFailed = false;
    UpdateChannel channel = Stable;
    QString clientType;
    qint32 clientVersion = 0;
    QString versionLabel;
    QString newsText;
    QString tempDir;
    QString proxyUrl;
    int downloadStreams = 0;
    // The slowest transfer a mirror may keep up (bytes per second, over that many seconds).
    qint64 minimumSpeed = 1024;
    int minimumSpeedSeconds = 30;

Q_SIGNALS:
    void fatalError(QString errorMessage);
    void message(QString message);
};
