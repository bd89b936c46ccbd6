// Fetches one file through DownloadTaskSpecification, the way an update does: the task on
// its own manager, a pool loaded from a mirrors.ini, and a one-second tick.
//
//     bench_download <mirrors.ini> <version> <remote path> <local path> [size]
//
// The size is the one the product ini lists; without it the file is held to the limit of an
// unlisted file (the product ini's).
//
// Exits 0 when the download finished.
#include "core/qrandcompat.h"
#include "net/downloadtaskspecification.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5 && args.size() != 6) {
        std::fprintf(stderr, "usage: bench_download <mirrors.ini> <version> <remote path> <local path> [size]\n");
        return 2;
    }
    qsrandCompat(quint32(QDateTime::currentSecsSinceEpoch()));
    // As the engine has it; QUORVEL_CA_FILE names the authority of a mirror over HTTPS.
    HttpAccessManager manager;
    QFile ca(qEnvironmentVariable("QUORVEL_CA_FILE"));
    if (!ca.fileName().isEmpty() && ca.open(QIODevice::ReadOnly))
        HttpAccessManager::setExtraCaCertificates(ca.readAll());
    Mirrors mirrors(nullptr);
    mirrors.initDefault(args.at(1), args.at(2).toInt());
    const qint64 size = args.size() == 6 ? args.at(5).toLongLong() : -1;
    DownloadTaskSpecification task(&manager, &mirrors, args.at(3), args.at(4), size, nullptr, 1.0);

    auto log = [](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); };
    QObject::connect(&task, &TaskSpecification::message, &app, log);
    QObject::connect(&task, &TaskSpecification::error, &app, log);
    QObject::connect(&mirrors, &Mirrors::message, &app, log);
    QObject::connect(&task, &TaskSpecification::finished, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&task, &TaskSpecification::canceled, &app, [] { QCoreApplication::exit(1); });

    QTimer ticker;
    ticker.setInterval(1000);
    QObject::connect(&ticker, &QTimer::timeout, &task, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
    });
    ticker.start();

    QElapsedTimer timer;
    timer.start();
    QTimer::singleShot(0, &task, &DownloadTaskSpecification::execute);
    const int rc = app.exec();
    std::fprintf(stderr, "%lld bytes in %lld ms\n", task.getBytesWritten(), timer.elapsed());
    return rc;
}
