#include "core/configuration.h"
#include "core/qrandcompat.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "ui/changelogviewer.h"

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

namespace {
const QString version = QStringLiteral("4711");
const QString logPath = QStringLiteral("/4711/changelog_client.txt");
const QString failed = QStringLiteral("Failed to load changelog.");

QString shownText()
{
    ChangeLogViewer* viewer = ChangeLogViewer::instance();
    return viewer ? viewer->findChild<QTextEdit*>()->toPlainText() : QString();
}
}

class tst_ChangeLogViewer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void triesSourcesUntilOneDelivers_data();
    void triesSourcesUntilOneDelivers();
    void sizesToTheText_data();
    void sizesToTheText();
    void oneDialogAtATime();

private:
    // Servers that answer as the row says, listed in mirrors.ini (or as the alpha server).
    void serve(const QStringList& answers, bool alpha);

    std::unique_ptr<QTemporaryDir> root;
    QList<TestHttpServer*> servers;
};

void tst_ChangeLogViewer::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    Configuration::setAppRootPath(root->path());
}

void tst_ChangeLogViewer::cleanup()
{
    delete ChangeLogViewer::instance();
    QVERIFY(!ChangeLogViewer::instance());
    qDeleteAll(servers);
    servers.clear();
    Configuration::setAppRootPath(QString());
    root.reset();
}

void tst_ChangeLogViewer::serve(const QStringList& answers, bool alpha)
{
    QByteArray size;
    for (const QString& answer : answers) {
        // Not a server: the "size" that mirrors.ini claims, whatever it lists.
        if (answer.startsWith(QLatin1String("size="))) {
            size = answer.toLatin1();
            continue;
        }
        auto* server = new TestHttpServer;
        QVERIFY(server->listen());
        servers.append(server);
        if (answer == QLatin1String("404"))
            continue;
        if (answer == QLatin1String("silent"))
            server->setBehaviour(logPath, TestHttpServer::Behaviour::noResponse());
        else if (answer == QLatin1String("huge"))
            server->setFile(logPath, QByteArray(ChangeLogViewer::maximumChangeLogBytes + 100000, 'x'));
        else
            server->setFile(logPath, answer.toUtf8());
    }
    if (alpha) {
        QSettings settings(Configuration::updateIniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Channel/alpha"), servers.first()->baseUrl() + QLatin1Char('/'));
    }
    const QString ini = root->filePath(QStringLiteral("mirrors.ini"));
    QVERIFY(writeMirrorsIni(ini, alpha ? servers.mid(1) : servers));
    if (!size.isEmpty()) {
        QByteArray content = readTestFile(ini);
        const QByteArray written = "size=" + QByteArray::number(servers.size());
        QVERIFY(content.contains(written));
        QVERIFY(writeTestFile(ini, content.replace(written, size)));
    }
}

void tst_ChangeLogViewer::triesSourcesUntilOneDelivers_data()
{
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("minimumMs");
    // With the alpha server the mirrors are never asked, whatever they hold.
    QTest::newRow("alpha fails") << true << QStringList{"404", "mirror text"} << failed << 0;
    QTest::newRow("alpha delivers") << true << QStringList{"alpha text", "mirror text"} << "alpha text" << 0;
    QTest::newRow("two failing mirrors first")
        << false << QStringList{"404", "<p>The document has moved here</p>", "third text"} << "third text" << 0;
    QTest::newRow("silent mirror first") << false << QStringList{"silent", "good text"} << "good text" << 1900;
    QTest::newRow("endless mirror") << false << QStringList{"huge"} << failed << 0;
    // Read as it once was, this "size" kept the dialog busy for hours before asking anyone.
    QTest::newRow("huge size") << false << QStringList{"size=2000000000", "text"} << "text" << 0;
    QTest::newRow("no mirrors.ini") << false << QStringList{} << failed << 0;
}

void tst_ChangeLogViewer::triesSourcesUntilOneDelivers()
{
    QFETCH(bool, alpha);
    QFETCH(QStringList, answers);
    QFETCH(QString, shown);
    QFETCH(int, minimumMs);
    if (!answers.isEmpty())
        serve(answers, alpha);

    // A seed whose draws take the mirrors in the row's order.
    const int mirrorCount = alpha ? 0 : int(servers.size());
    quint32 seed = 0;
    bool inOrder = false;
    while (!inOrder) {
        qsrandCompat(++seed);
        inOrder = true;
        for (int left = mirrorCount; left > 1 && inOrder; --left)
            inOrder = qrandCompat() % left == 0;
    }
    qsrandCompat(seed);

    QWidget parent;
    QElapsedTimer clock;
    clock.start();
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, version);
    QVERIFY(ChangeLogViewer::instance());
    QTRY_COMPARE_WITH_TIMEOUT(shownText(), shown, 8000);
    QVERIFY2(clock.elapsed() >= minimumMs, qPrintable(QString::number(clock.elapsed())));
    // Every source up to the one that delivered was asked exactly once; with the alpha
    // server, no mirror at all.
    for (int i = 0; i < servers.size(); ++i) {
        QCOMPARE(servers[i]->totalRequests(), servers[i]->requestCount(logPath));
        QCOMPARE(servers[i]->requestCount(logPath), (alpha && i > 0) ? 0 : 1);
    }
}

void tst_ChangeLogViewer::sizesToTheText_data()
{
    QTest::addColumn<int>("lineWidth");
    QTest::newRow("400-pixel line") << 400;
    QTest::newRow("empty change log") << 0;
}

void tst_ChangeLogViewer::sizesToTheText()
{
    QFETCH(int, lineWidth);
    ChangeLogViewer probe;
    const QFontMetrics metrics(probe.findChild<QTextEdit*>()->font());
    // The widest line decides, wherever it is; an empty line does not count.
    QString line;
    while (metrics.horizontalAdvance(line) < lineWidth)
        line += QLatin1Char('m');
    const QString text = lineWidth ? QStringLiteral("short\n\n") + line + QStringLiteral("\nmid line") : QString();
    serve({text}, false);

    QWidget parent;
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, version);
    QTRY_COMPARE(servers.first()->requestCount(logPath), 1);
    if (lineWidth) {
        QTRY_COMPARE(shownText(), text);
        QCOMPARE(ChangeLogViewer::instance()->size(), QSize(metrics.horizontalAdvance(line) + 50, 500));
        QVERIFY(qAbs(ChangeLogViewer::instance()->width() - 450) <= metrics.maxWidth());
    } else {
        QTRY_VERIFY(shownText() != QLatin1String("Loading..."));
        QCOMPARE(shownText(), QString());
        QCOMPARE(ChangeLogViewer::instance()->size(), QSize(617, 500));
    }
}

void tst_ChangeLogViewer::oneDialogAtATime()
{
    serve({"text"}, false);
    QWidget parent;
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, version);
    QPointer<ChangeLogViewer> first = ChangeLogViewer::instance();
    QTRY_COMPARE(shownText(), QStringLiteral("text"));
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, version);
    QCOMPARE(ChangeLogViewer::instance(), first.data());
    QCOMPARE(servers.first()->requestCount(logPath), 1);

    // Closed, it is gone; the next one reads mirrors.ini again and fetches again.
    first->close();
    QTRY_VERIFY(!first);
    QVERIFY(!ChangeLogViewer::instance());
    ChangeLogViewer::showRemoteChangeLogDialog(&parent, version);
    QTRY_COMPARE(shownText(), QStringLiteral("text"));
    QCOMPARE(servers.first()->requestCount(logPath), 2);
}

QTEST_MAIN(tst_ChangeLogViewer)
#include "tst_changelogviewer.moc"
