#include "support/testfiles.h"
#include "support/testsigning.h"
#include "tasks/taskspecification.h"
#include "update/checksignaturetaskspecification.h"
#include "update/tomcryptutil.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// runDone is protected; the tests deliver late results by hand.
class TestableCheck : public CheckSignatureTaskSpecification
{
public:
    using CheckSignatureTaskSpecification::CheckSignatureTaskSpecification;
    using CheckSignatureTaskSpecification::runDone;
};

// Everything a check reports, in order: messages verbatim, "checkDone:<pass>", "finished",
// "canceled".
struct Recorder
{
    explicit Recorder(CheckSignatureTaskSpecification* task)
    {
        QObject::connect(task, &TaskSpecification::message, task, [this](const QString& m) { events << m; });
        QObject::connect(task, &CheckSignatureTaskSpecification::checkDone, task,
                         [this, task](bool pass, CheckSignatureTaskSpecification* sender) {
                             QCOMPARE(sender, task);
                             events << QStringLiteral("checkDone:%1").arg(pass);
                         });
        QObject::connect(task, &TaskSpecification::finished, task, [this] { events << QStringLiteral("finished"); });
        QObject::connect(task, &TaskSpecification::canceled, task, [this] { events << QStringLiteral("canceled"); });
    }
    QStringList events;
};

} // namespace

class tst_CheckSignatureTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void md5Check_data();
    void md5Check();
    void hashesFileLargerThanOneChunk();

    void reportsInOrder_data();
    void reportsInOrder();

    void ignoresResultWhenNotRunning();
    void funcRunsWithoutTask();

private:
    // Runs a check to its end and returns what it reported.
    QStringList runCheck(const QString& path, const QString& md5, bool cancelOnFailure, int* endState = nullptr,
                         const QString& written = QString());

    QTemporaryDir dir;
};

void tst_CheckSignatureTaskSpecification::initTestCase()
{
    QVERIFY(dir.isValid());
    crypt_init();
}

QStringList tst_CheckSignatureTaskSpecification::runCheck(const QString& path, const QString& md5,
                                                          bool cancelOnFailure, int* endState,
                                                          const QString& written)
{
    TestableCheck task(path, md5, cancelOnFailure, nullptr, 1.0);
    task.setWrittenMd5(written);
    Recorder recorder(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(finished.count() + canceled.count() == 1, 10000); }();
    if (endState)
        *endState = task.getState();
    return recorder.events;
}

void tst_CheckSignatureTaskSpecification::md5Check_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("sum");
    QTest::addColumn<bool>("pass");

    const QByteArray text("product file\n");
    QTest::newRow("lower-case sum") << text << md5Hex(text) << true;
    QTest::newRow("upper-case sum") << text << md5Hex(text).toUpper() << true;
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("d41d8cd98f00b204e9800998ecf8427e") << true;
    QTest::newRow("other content") << QByteArray("product file!\n") << md5Hex(text) << false;
    QTest::newRow("blanks around sum") << text << (QLatin1Char(' ') + md5Hex(text)) << false;
    QTest::newRow("truncated sum") << text << md5Hex(text).left(31) << false;
}

void tst_CheckSignatureTaskSpecification::md5Check()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, sum);
    QFETCH(bool, pass);

    const QString path = dir.filePath(QStringLiteral("md5/%1").arg(QTest::currentDataTag()));
    QVERIFY(writeTestFile(path, content));
    CheckSigFunc func(path, sum);
    QCOMPARE(func.run(), pass);
}

void tst_CheckSignatureTaskSpecification::hashesFileLargerThanOneChunk()
{
    // Several hashing chunks and a ragged end, so a lost or repeated chunk shows.
    QByteArray content((3 << 20) + 12345, Qt::Uninitialized);
    QRandomGenerator gen(42);
    for (char& c : content)
        c = char(gen.generate());
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    QVERIFY(writeTestFile(path, content));
    const QString sum = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());

    QVERIFY(CheckSigFunc(path, sum).run());
    content[content.size() - 1] = char(content.at(content.size() - 1) ^ 1);
    const QString changedSum = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    QVERIFY(!CheckSigFunc(path, changedSum).run());
}

void tst_CheckSignatureTaskSpecification::reportsInOrder_data()
{
    QTest::addColumn<QString>("name");       // the file checked, in the temporary directory
    QTest::addColumn<QByteArray>("content"); // null: no such file
    QTest::addColumn<QByteArray>("sig");     // null: no ".sig" file
    QTest::addColumn<QString>("md5");
    QTest::addColumn<bool>("cancelOnFailure");
    QTest::addColumn<QStringList>("messages"); // %1 = path of the checked file
    QTest::addColumn<bool>("pass");
    QTest::addColumn<QString>("written"); // the MD5 its writer computed; null: none

    const QByteArray ini("[client]\nversion=3\n");
    const QByteArray goodSig = signWithTestKey(ini);
    const QString failed = QStringLiteral("Signature check failed for %1");
    const QString cannotOpen = QStringLiteral("Could not open file %1 for reading");
    const QString missing = QStringLiteral("Reason: No such file or directory");

    for (bool cancel : {false, true}) {
        const char* mode = cancel ? " (cancel on failure)" : "";
        auto row = [&](const char* tag) {
            return &QTest::newRow(qPrintable(QString::fromLatin1(tag) + QString::fromLatin1(mode)));
        };
        *row("md5 pass") << "a.ini" << ini << QByteArray() << md5Hex(ini) << cancel << QStringList() << true << QString();
        *row("md5 differs") << "b.ini" << ini << QByteArray() << md5Hex("x") << cancel << QStringList{failed} << false << QString();
        *row("md5 file missing") << "c.ini" << QByteArray() << QByteArray() << md5Hex(ini) << cancel
                                 << QStringList{cannotOpen, missing, failed} << false << QString();
        *row("rsa pass") << "d.ini" << ini << goodSig << QString() << cancel << QStringList() << true << QString();
        *row("rsa sig missing") << "e.ini" << ini << QByteArray() << QString() << cancel
                                << QStringList{cannotOpen.arg(QStringLiteral("%1.sig")), missing, failed} << false << QString();
        *row("rsa file missing") << "f.ini" << QByteArray() << goodSig << QString() << cancel
                                 << QStringList{cannotOpen, missing, failed} << false << QString();
        *row("rsa other content") << "g.ini" << QByteArray(ini + ' ') << goodSig << QString() << cancel
                                  << QStringList{failed} << false << QString();
        *row("rsa sig one byte short") << "h.ini" << ini << goodSig.left(127) << QString() << cancel
                                       << QStringList{failed} << false << QString();
        *row("rsa sig one byte long") << "i.ini" << ini << QByteArray(goodSig + '\0') << QString() << cancel
                                      << QStringList{failed} << false << QString();
        // A sum taken while writing is compared instead of reading the file (absent here).
        *row("written md5 pass") << "k.ini" << QByteArray() << QByteArray() << md5Hex(ini) << cancel
                                 << QStringList() << true << md5Hex(ini).toUpper();
        *row("written md5 differs") << "l.ini" << QByteArray() << QByteArray() << md5Hex(ini) << cancel
                                    << QStringList{failed} << false << md5Hex("x");
        *row("written md5, rsa mode reads") << "m.ini" << ini << goodSig << QString() << cancel << QStringList()
                                            << true << md5Hex("x");
        *row("rsa empty sig") << "j.ini" << ini << QByteArray("") << QString() << cancel << QStringList{failed}
                              << false << QString();
    }
}

void tst_CheckSignatureTaskSpecification::reportsInOrder()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, sig);
    QFETCH(QString, md5);
    QFETCH(bool, cancelOnFailure);
    QFETCH(QStringList, messages);
    QFETCH(bool, pass);
    QFETCH(QString, written);

    const QString path = dir.filePath(QStringLiteral("%1/%2").arg(QTest::currentDataTag(), name));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    if (!content.isNull())
        QVERIFY(writeTestFile(path, content));
    if (!sig.isNull())
        QVERIFY(writeTestFile(path + QStringLiteral(".sig"), sig));

    int endState = StateIdle;
    const QStringList events = runCheck(path, md5, cancelOnFailure, &endState, written);

    QStringList expected;
    for (const QString& m : messages)
        expected << m.arg(path);
    expected << QStringLiteral("checkDone:%1").arg(pass);
    const bool fails = !pass && cancelOnFailure;
    expected << (fails ? QStringLiteral("canceled") : QStringLiteral("finished"));
    QCOMPARE(events, expected);
    QCOMPARE(endState, int(fails ? StateErrorCanceled : StateFinished));
}

void tst_CheckSignatureTaskSpecification::ignoresResultWhenNotRunning()
{
    const QString path = dir.filePath(QStringLiteral("late.txt"));
    QVERIFY(writeTestFile(path, "late"));
    TestableCheck task(path, md5Hex("late"), true, nullptr, 1.0);
    Recorder recorder(&task);

    // Idle: nothing has started.
    task.runDone(false);
    task.runDone(true);
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(task.getState(), int(StateIdle));

    // Reset while the check runs: its result must not end the task.
    task.execute();
    task.reset();
    QCoreApplication::processEvents();
    task.runDone(false);
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(task.getState(), int(StateIdle));

    // Ended: a second result changes nothing.
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));
    task.runDone(false);
    QCoreApplication::processEvents();
    QCOMPARE(recorder.events, (QStringList{QStringLiteral("checkDone:1"), QStringLiteral("finished")}));
    QCOMPARE(task.getState(), int(StateFinished));
}

void tst_CheckSignatureTaskSpecification::funcRunsWithoutTask()
{
    // The list compiler runs the work directly on its own thread; the result alone counts.
    const QByteArray ini("[files]\n");
    const QString path = dir.filePath(QStringLiteral("direct.ini"));
    QVERIFY(writeTestFile(path, ini));
    QVERIFY(writeTestFile(path + QStringLiteral(".sig"), signWithTestKey(ini)));
    QVERIFY(CheckSigFunc(path, QString()).run());
    QVERIFY(!CheckSigFunc(dir.filePath(QStringLiteral("absent.ini")), QString()).run());
}

QTEST_GUILESS_MAIN(tst_CheckSignatureTaskSpecification)
#include "tst_checksignaturetaskspecification.moc"
