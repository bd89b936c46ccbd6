#include "support/testfiles.h"
#include "update/tomcryptutil.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const kTool = QUORVEL_BINARY_DIR "/tools/quorvel-publish/quorvel-publish";

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class tst_QuorvelPublish : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void roundTrip();
    void exitCodes_data();
    void exitCodes();
    void refusesToOverwriteKeys();
    void leavesNoPartialKeyPair();
    void leavesNoPartialSignature();

private:
    Result tool(const QStringList& args);
    QString path(const QString& name) const { return work.filePath(name); }
    QStringList entries() const { return QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }

    QTemporaryDir top;
    QDir work;
    int testNumber = 0;
};

void tst_QuorvelPublish::initTestCase()
{
    QVERIFY(top.isValid());
    QVERIFY2(QFileInfo(QString::fromLatin1(kTool)).isExecutable(), kTool);
    crypt_init();
}

void tst_QuorvelPublish::init()
{
    // A fresh directory per test (and per data row), so leftovers are easy to see.
    const QString name = QStringLiteral("t%1").arg(++testNumber);
    QVERIFY(QDir(top.path()).mkdir(name));
    work = QDir(top.filePath(name));
}

Result tst_QuorvelPublish::tool(const QStringList& args)
{
    Result result;
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.start(QString::fromLatin1(kTool), args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.code = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void tst_QuorvelPublish::roundTrip()
{
    QCOMPARE(tool({"genkey", "private.key", "public.key"}).code, 0);
    const QByteArray pub = readTestFile(path("public.key"));
    const QByteArray priv = readTestFile(path("private.key"));
    QCOMPARE(pub.size(), 2048);
    QCOMPARE(priv.size(), 2048);

    // The public file has the built-in key's form: a 140-byte PKCS #1 RSAPublicKey, zeros after it.
    QVERIFY(pub.startsWith(QByteArray::fromHex("30818902818100")));
    QCOMPARE(pub.mid(140), QByteArray(2048 - 140, '\0'));
    Rsa_key key;
    load_key(&key, reinterpret_cast<const unsigned char*>(pub.constData()), pub.size());
    QCOMPARE(key.type, int(PK_PUBLIC));
    QCOMPARE(rsa_get_size(&key), 128);
    rsa_free(&key);
    load_key(&key, reinterpret_cast<const unsigned char*>(priv.constData()), priv.size());
    QCOMPARE(key.type, int(PK_PRIVATE));
    rsa_free(&key);

    QVERIFY(writeTestFile(path("client.ini"), "[client]\nversion=7\n"));
    QCOMPARE(tool({"sign", "private.key", "client.ini"}).code, 0);
    QCOMPARE(readTestFile(path("client.ini.sig")).size(), 128);
    const Result verified = tool({"verify", "public.key", "client.ini"});
    QCOMPARE(verified.code, 0);
    QVERIFY(verified.err.isEmpty());

    // OpenSSL reads the public key as an RSAPublicKey and accepts the signature.
    QVERIFY(writeTestFile(path("public.der"), pub.left(140)));
    QProcess openssl;
    openssl.setWorkingDirectory(work.path());
    openssl.start("openssl", {"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", "public.der", "-pubout", "-out",
                              "public.pem"});
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(openssl.exitCode(), 0);
    openssl.start("openssl", {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
                              "-verify", "public.pem", "-signature", "client.ini.sig", "client.ini"});
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(openssl.exitCode(), 0);
}

void tst_QuorvelPublish::exitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("stderrHas"); // empty: nothing on stderr

    // Every row runs with: demo.key (private), demo.pub, other.pub (a different key), junk.key,
    // data.txt signed with demo.key, short.txt with a 127-byte signature, nosig.txt unsigned.
    QTest::newRow("valid") << QStringList{"verify", "demo.pub", "data.txt"} << 0 << QString();
    QTest::newRow("private key verifies too") << QStringList{"verify", "demo.key", "data.txt"} << 0 << QString();
    QTest::newRow("help") << QStringList{"--help"} << 0 << QString();
    QTest::newRow("command help") << QStringList{"sign", "--help"} << 0 << QString();
    QTest::newRow("other key") << QStringList{"verify", "other.pub", "data.txt"} << 1 << "does not match";
    QTest::newRow("short signature") << QStringList{"verify", "demo.pub", "short.txt"} << 1 << "short.txt.sig";
    QTest::newRow("no signature") << QStringList{"verify", "demo.pub", "nosig.txt"} << 1 << "nosig.txt.sig";
    QTest::newRow("no file") << QStringList{"sign", "demo.key", "absent.txt"} << 1 << "absent.txt";
    QTest::newRow("no arguments") << QStringList{} << 2 << "Usage";
    QTest::newRow("unknown command") << QStringList{"publish"} << 2 << "unknown command 'publish'";
    QTest::newRow("verify arguments") << QStringList{"verify", "demo.pub"} << 2 << "verify needs";
    QTest::newRow("genkey arguments") << QStringList{"genkey", "a.key"} << 2 << "genkey needs";
    QTest::newRow("missing key") << QStringList{"verify", "absent.pub", "data.txt"} << 2 << "absent.pub";
    QTest::newRow("junk key") << QStringList{"verify", "junk.key", "data.txt"} << 2 << "junk.key";
    QTest::newRow("sign with public key") << QStringList{"sign", "demo.pub", "nosig.txt"} << 2
                                          << "holds no private key";
}

void tst_QuorvelPublish::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, stderrHas);

    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/keys/demo_private.key", path("demo.key")));
    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/keys/demo_public.key", path("demo.pub")));
    QVERIFY(writeTestFile(path("junk.key"), QByteArray(2048, '\x5A')));
    Rsa_key other;
    create_key(&other);
    save_key(&other, PK_PUBLIC, QFile::encodeName(path("other.pub")).constData());
    rsa_free(&other);
    for (const char* name : {"data.txt", "short.txt", "nosig.txt"})
        QVERIFY(writeTestFile(path(name), "payload\n"));
    QCOMPARE(tool({"sign", "demo.key", "data.txt"}).code, 0);
    QVERIFY(writeTestFile(path("short.txt.sig"), readTestFile(path("data.txt.sig")).left(127)));

    const Result result = tool(args);
    QCOMPARE(result.code, code);
    if (stderrHas.isEmpty()) {
        QCOMPARE(result.err, QByteArray());
    } else {
        QVERIFY2(result.err.contains(stderrHas.toUtf8()), result.err.constData());
        // Failures are one line; only the usage text is longer.
        if (!args.isEmpty())
            QCOMPARE(result.err.count('\n'), 1);
    }
    if (args.contains("--help"))
        QVERIFY(result.out.startsWith("Usage: quorvel-publish"));
}

void tst_QuorvelPublish::refusesToOverwriteKeys()
{
    QVERIFY(writeTestFile(path("private.key"), "keep me"));
    Result result = tool({"genkey", "private.key", "public.key"});
    QCOMPARE(result.code, 1);
    QVERIFY2(result.err.contains("--force"), result.err.constData());
    QCOMPARE(readTestFile(path("private.key")), QByteArray("keep me"));
    QVERIFY(!QFile::exists(path("public.key")));

    // An existing public half alone also stops it, before anything is written.
    QVERIFY(QFile::remove(path("private.key")));
    QVERIFY(writeTestFile(path("public.key"), "keep me too"));
    QCOMPARE(tool({"genkey", "private.key", "public.key"}).code, 1);
    QVERIFY(!QFile::exists(path("private.key")));
    QCOMPARE(readTestFile(path("public.key")), QByteArray("keep me too"));

    QVERIFY(writeTestFile(path("private.key"), "replace me"));
    QCOMPARE(tool({"genkey", "--force", "private.key", "public.key"}).code, 0);
    QCOMPARE(readTestFile(path("private.key")).size(), 2048);
    QCOMPARE(readTestFile(path("public.key")).size(), 2048);
    QCOMPARE(entries(), (QStringList{"private.key", "public.key"}));
}

void tst_QuorvelPublish::leavesNoPartialKeyPair()
{
    // The public half cannot be written: the private half must not stay behind alone.
    const Result result = tool({"genkey", "private.key", "missing/public.key"});
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err.count('\n'), 1);
    QCOMPARE(entries(), QStringList());
}

void tst_QuorvelPublish::leavesNoPartialSignature()
{
    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/keys/demo_private.key", path("demo.key")));
    QVERIFY(writeTestFile(path("data.txt"), "payload\n"));
    // A directory where the signature should go: the final rename fails.
    QVERIFY(work.mkdir("data.txt.sig"));
    const Result result = tool({"sign", "demo.key", "data.txt"});
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err.count('\n'), 1);
    QCOMPARE(entries(), (QStringList{"data.txt", "data.txt.sig", "demo.key"}));
    QVERIFY(QFileInfo(path("data.txt.sig")).isDir());
}

QTEST_GUILESS_MAIN(tst_QuorvelPublish)
#include "tst_quorvelpublish.moc"
