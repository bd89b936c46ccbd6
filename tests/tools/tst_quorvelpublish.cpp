#include "core/configuration.h"
#include "support/mirrorsini.h"
#include "support/nginxmirrors.h"
#include "support/testfiles.h"
#include "support/testrelease.h"
#include "update/makedownloadreplacelisttaskspecification.h"
#include "update/tomcryptutil.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kTool = QUORVEL_BINARY_DIR "/tools/quorvel-publish/quorvel-publish";
// A file of the audited release, published gzip-compressed.
const QByteArray readmeText = QByteArray("words ").repeated(5000);

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
    void releaseReadsBackAsTheRelease();
    void releaseRefuses_data();
    void releaseRefuses();
    void auditsMirrors_data();
    void auditsMirrors();

private:
    // Version 7 of client_test on nginx: m1 lacks a file, m2 has one of another size, m3 one
    // corrupted at the same size, m4 is down; m5 serves another validly signed product ini,
    // m6 a complete copy with a broken signature.
    bool serveAuditMirrors();
    Result tool(const QStringList& args);
    // Runs the updater's list compiler on a published version against an installation root.
    FileSpecifications compile(const QString& versionDir, const QString& installRoot);
    QStringList treeOf(const QString& dir) const;
    QString path(const QString& name) const { return work.filePath(name); }
    QStringList entries() const { return QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }

    QTemporaryDir top;
    QDir work;
    int testNumber = 0;
    NginxMirrors nginx;
    QStringList mirrorUrls; // base URLs of m1 to m6, without the version
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

    // Larger than the pieces the tool hashes in, and not a multiple of them.
    const QByteArray big = randomTestData(5 * 1024 * 1024 / 2 + 7, 7);
    QVERIFY(writeTestFile(path("client.ini"), big));
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
    QTest::newRow("cut public key") << QStringList{"verify", "cut.pub", "data.txt"} << 2
                                    << "cut.pub is not a usable key file: the key is cut short";
    QTest::newRow("cut private key") << QStringList{"sign", "cut.key", "nosig.txt"} << 2
                                     << "cut.key is not a usable key file: the key is cut short";
    QTest::newRow("damaged private key") << QStringList{"sign", "damaged.key", "nosig.txt"} << 2
                                         << "damaged.key is not a usable key file";
    QTest::newRow("release help") << QStringList{"release", "--help"} << 0 << QString();
    QTest::newRow("audit with a junk key") << QStringList{"audit", "--key", "junk.key", "--version", "1", "absent.ini"}
                                           << 2 << "junk.key is not a usable key file";
    QTest::newRow("audit without mirrors") << QStringList{"audit", "--key", "demo.pub", "--version", "1", "absent.ini"}
                                           << 2 << "cannot read absent.ini";
    QTest::newRow("audit requiring nothing") << QStringList{"audit", "--key", "demo.pub", "--version", "1", "--require",
                                                            "0", "data.txt"}
                                             << 2 << "--require \"0\"";
}

void tst_QuorvelPublish::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, stderrHas);

    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/keys/demo_private.key", path("demo.key")));
    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/keys/demo_public.key", path("demo.pub")));
    QVERIFY(writeTestFile(path("junk.key"), QByteArray(2048, '\x5A')));
    const QByteArray privateKey = readTestFile(path("demo.key"));
    // Cut in the exponent's last byte: what is left still imports, as another key.
    QVERIFY(writeTestFile(path("cut.pub"), readTestFile(path("demo.pub")).left(139)));
    QVERIFY(writeTestFile(path("cut.key"), privateKey.left(400)));
    // A changed byte in a CRT number: the key still imports, but its signatures are wrong.
    QByteArray damaged = privateKey;
    damaged[520] = char(damaged.at(520) ^ 0x10);
    QVERIFY(writeTestFile(path("damaged.key"), damaged));
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

QStringList tst_QuorvelPublish::treeOf(const QString& dir) const
{
    QStringList names;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(dir).relativeFilePath(it.next());
    names.sort();
    return names;
}

FileSpecifications tst_QuorvelPublish::compile(const QString& versionDir, const QString& installRoot)
{
    const QString workDir = work.filePath(QStringLiteral("updater-work"));
    QDir(workDir).removeRecursively();
    QDir().mkpath(workDir);
    QFile::copy(versionDir + QStringLiteral("/client_test.ini"), workDir + QStringLiteral("/client_test.ini"));
    Configuration config;
    config.clientType = QStringLiteral("client_test");
    config.tempDir = workDir;
    Configuration::setAppRootPath(installRoot);
    FileSpecifications lists;
    MakeDownloadReplaceListFunc compiler(&config, lists);
    const bool ok = compiler.run();
    Configuration::setAppRootPath(QString());
    if (!ok)
        lists.clear();
    return lists;
}

void tst_QuorvelPublish::releaseReadsBackAsTheRelease()
{
    QVERIFY(QFile::copy(QUORVEL_TEST_PRIVATE_KEY, path("test.key")));
    const QByteArray noise = randomTestData(100000, 3);
    const QByteArray text = QByteArray("a line that compresses well\n").repeated(2000);
    const QMap<QString, QByteArray> release = {
        {"start.sh", "#!/bin/sh\nexec ./client\n"},
        {"bin/app", text},
        {"data/noise.bin", noise},
        {"empty.txt", QByteArray()},
        {"update", "the updater itself"},
        {"names/with space.txt", text + "1"},
        {"names/hash#sign.txt", "#"},
        {"names/per%20cent.txt", "%"},
        {QStringLiteral("names/\u00fcmlaut \u00e4/\u65e5\u672c.txt"), text + "2"},
        {"names/com,ma;semi=eq.txt", "c"},
        {"names/a::b.txt", text + "3"},
    };
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        QVERIFY(writeTestFile(path("v1/") + it.key(), it.value()));
    // Programs by their mode alone, one with a name the list must quote.
    for (const char* program : {"start.sh", "bin/app", "names/com,ma;semi=eq.txt"})
        QVERIFY(QFile::setPermissions(path("v1/") + program, QFile::permissions(path("v1/") + program) | QFile::ExeOwner));
    // A link that stays inside the folder is published as the file it names.
    QVERIFY(QFile::link(QStringLiteral("bin/app"), path("v1/app-link")));
    QVERIFY(writeTestFile(path("v0/old/gone.txt"), "gone"));
    QVERIFY(writeTestFile(path("v0/start.sh"), "old"));
    QVERIFY(writeTestFile(path("changelog.txt"), "What is new"));

    Result result = tool({"release", "--key", "test.key", "--version", "1", "--type", "client_test", "--changelog",
                          "changelog.txt", "--previous", "v0", "--allow-special", "v1", "mirror"});
    QVERIFY2(result.code == 0, result.err.constData());
    const QString v1 = path("mirror/1");
    QCOMPARE(readTestFile(v1 + "/changelog_client.txt"), QByteArray("What is new"));
    QCOMPARE(treeOf(path("mirror")).filter(QRegularExpression("^[^1]")), QStringList()); // no leftovers

    // The signature is the one the updater checks (the tests' key is the built-in one here).
    Rsa_key key;
    load_key(&key, QUORVEL_TEST_PRIVATE_KEY);
    QByteArray ini = readTestFile(v1 + "/client_test.ini");
    QByteArray sig = readTestFile(v1 + "/client_test.ini.sig");
    const bool valid = verify_msg(&key, reinterpret_cast<const unsigned char*>(ini.constData()), ini.size(),
                                  reinterpret_cast<unsigned char*>(sig.data()), sig.size());
    // The programs' names are signed too.
    ini.replace("executables=", "executables=empty.txt, ");
    const bool tamperedValid = verify_msg(&key, reinterpret_cast<const unsigned char*>(ini.constData()), ini.size(),
                                          reinterpret_cast<unsigned char*>(sig.data()), sig.size());
    rsa_free(&key);
    QVERIFY(valid);
    QVERIFY(!tamperedValid);
    // An updater that knows nothing of them reads sections only, each key a file or a deletion.
    QSettings sections(v1 + "/client_test.ini", QSettings::IniFormat);
    QCOMPARE(sections.childGroups(), (QStringList{"delete", "files", "gzip"}));
    QCOMPARE(MakeDownloadReplaceListFunc::getFileCount(sections), release.size() + 2);

    // Into an installation that has only the file the previous release dropped: everything
    // is downloaded and installed, and that file is deleted.
    QVERIFY(writeTestFile(path("install/old/gone.txt"), "gone"));
    const FileSpecifications lists = compile(v1, path("install"));
    QCOMPARE(lists.deleteList, QStringList{"old/gone.txt"});
    QCOMPARE(lists.downloadList.size(), release.size() + 1);
    QCOMPARE(lists.replaceList.size(), release.size() + 1);
    QMap<QString, QByteArray> installed;
    QStringList compressed;
    QStringList executables;
    for (int i = 0; i < lists.replaceList.size(); ++i) {
        const FileDownloadSpecification& download = lists.downloadList.at(i);
        const FileReplaceSpecification& replace = lists.replaceList.at(i);
        QCOMPARE(download.filePath, replace.filePath);
        const QByteArray served = readTestFile(v1 + '/' + download.section + '/' + download.filePath);
        QCOMPARE(md5Hex(served), download.md5Sum);
        QCOMPARE(served.size(), download.size);
        const QByteArray content = replace.hasUnzip() ? gunzipData(served) : served;
        if (replace.hasUnzip()) {
            compressed << replace.pureDestFilePath();
            QCOMPARE(md5Hex(content), replace.unzipMd5Sum);
            QCOMPARE(quint64(content.size()), replace.unzipSize);
        }
        installed.insert(replace.pureDestFilePath(), content);
        if (replace.executable)
            executables << replace.pureDestFilePath();
    }
    QMap<QString, QByteArray> expected = release;
    expected.insert("app-link", text);
    QCOMPARE(installed, expected);
    // Compressed where it saves a tenth, except where "::" in the name would split the entry.
    compressed.sort();
    QCOMPARE(compressed, (QStringList{"app-link", "bin/app", "names/with space.txt",
                                      QStringLiteral("names/\u00fcmlaut \u00e4/\u65e5\u672c.txt")}));
    executables.sort();
    QCOMPARE(executables, (QStringList{"app-link", "bin/app", "names/com,ma;semi=eq.txt", "start.sh"}));

    // Version 2 against the product ini of version 1: its dropped files and the earlier
    // deletion are in "delete".
    QVERIFY(QDir(path("v1/names")).removeRecursively());
    result = tool({"release", "--key", "test.key", "--version", "2", "--type", "client_test", "--previous",
                   v1 + "/client_test.ini", "--allow-special", "v1", "mirror"});
    QVERIFY2(result.code == 0, result.err.constData());
    QVERIFY(writeTestFile(path("install/names/hash#sign.txt"), "#"));
    QVERIFY(writeTestFile(path("install/names/a::b.txt"), "x"));
    const FileSpecifications second = compile(path("mirror/2"), path("install"));
    QCOMPARE(second.deleteList, (QStringList{"names/a::b.txt", "names/hash#sign.txt", "old/gone.txt"}));
    QCOMPARE(second.replaceList.size(), 6);
}

void tst_QuorvelPublish::releaseRefuses_data()
{
    QTest::addColumn<QString>("file");   // created in the release folder beside a good file
    QTest::addColumn<QString>("linkTo"); // when set, "file" is a symbolic link to it
    QTest::addColumn<QByteArray>("previousIni");
    QTest::addColumn<QStringList>("args"); // option/value pairs, replacing the defaults
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("stderrHas");

    const QStringList none;
    QTest::newRow("link out") << "lib/out" << "../../outside.txt" << QByteArray() << none << 1 << "leads out of the release folder";
    QTest::newRow("absolute link out") << "out" << "/etc/hostname" << QByteArray() << none << 1 << "leads out of the release folder";
    QTest::newRow("dangling link") << "nowhere" << "missing.txt" << QByteArray() << none << 1 << "leads nowhere";
    QTest::newRow("link loop") << "lib/loop" << ".." << QByteArray() << none << 1 << "back into its own folder";
    QTest::newRow("tab in name") << "a\tb" << QString() << QByteArray() << none << 1 << "cannot read this name";
    QTest::newRow("backslash in name") << "a\\b" << QString() << QByteArray() << none << 1 << "cannot read this name";
    QTest::newRow("not UTF-8") << "@latin1" << QString() << QByteArray() << none << 1 << "not valid UTF-8";
    QTest::newRow("pipe") << "@fifo" << QString() << QByteArray() << none << 1 << "is not a regular file";
    QTest::newRow("special file") << "plugins/libqgif.so" << QString() << QByteArray() << none << 1 << "--allow-special";
    QTest::newRow("settings") << "update.ini" << QString() << QByteArray() << none << 1 << "--allow-special";
    QTest::newRow("old copy name") << "_old_update" << QString() << QByteArray() << none << 1 << "previous copy of a special file";
    QTest::newRow("product ini name") << "client_linux_amd64.ini" << QString() << QByteArray() << none << 1 << "collide with the product ini";
    QTest::newRow("previous deletes outside") << QString() << QString() << QByteArray("[delete]\n..\\..\\etc\\passwd=\n")
                                              << none << 1 << "climbs out of the installation";
    QTest::newRow("previous installs outside") << QString() << QString()
                                               << QByteArray("[gz]\na=00::1::00::1::/etc/passwd\n") << none << 1
                                               << "climbs out of the installation";
    QTest::newRow("version exists") << "@exists" << QString() << QByteArray() << none << 1 << "never rewritten";
    QTest::newRow("read-only mirror") << "@readonly" << QString() << QByteArray() << none << 1
                                      << "cannot write into mirror: Read-only file system";
    QTest::newRow("empty release") << "@empty" << QString() << QByteArray() << none << 1 << "holds no files";
    QTest::newRow("missing changelog") << QString() << QString() << QByteArray()
                                       << QStringList{"--changelog", "absent.txt"} << 1 << "absent.txt";
    QTest::newRow("version zero") << QString() << QString() << QByteArray() << QStringList{"--version", "0"} << 2 << "--version";
    QTest::newRow("version text") << QString() << QString() << QByteArray() << QStringList{"--version", "v7"} << 2 << "--version";
    QTest::newRow("type with slash") << QString() << QString() << QByteArray() << QStringList{"--type", "a/b"} << 2 << "--type";
    QTest::newRow("public key") << QString() << QString() << QByteArray() << QStringList{"--key", "demo.pub"} << 2
                                << "holds no private key";
    QTest::newRow("unknown option") << QString() << QString() << QByteArray() << QStringList{"--fast", "1"} << 2
                                    << "unknown option --fast";
}

void tst_QuorvelPublish::releaseRefuses()
{
    QFETCH(QString, file);
    QFETCH(QString, linkTo);
    QFETCH(QByteArray, previousIni);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, stderrHas);

    QVERIFY(QFile::copy(QUORVEL_TEST_PRIVATE_KEY, path("test.key")));
    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/keys/demo_public.key", path("demo.pub")));
    QVERIFY(writeTestFile(path("outside.txt"), "outside"));
    QVERIFY(work.mkpath("mirror"));
    if (file != QLatin1String("@empty"))
        QVERIFY(writeTestFile(path("rel/good.txt"), "good"));
    else
        QVERIFY(work.mkpath("rel"));
    // Qt cannot name this file, so QTemporaryDir could not remove it.
    const QByteArray latin1Name = QFile::encodeName(path("rel/")) + "caf\xe9";
    const auto removeLatin1 = qScopeGuard([&] {
        ::unlink(latin1Name.constData());
        if (file == QLatin1String("@readonly"))
            ::umount2(QFile::encodeName(path("mirror")).constData(), MNT_DETACH);
    });
    if (file == QLatin1String("@latin1")) {
        const int fd = ::open(latin1Name.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    } else if (file == QLatin1String("@fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path("rel/pipe")).constData(), 0644), 0);
    } else if (file == QLatin1String("@exists")) {
        QVERIFY(work.mkpath("mirror/5"));
    } else if (file == QLatin1String("@readonly")) {
        if (::mount("tmpfs", QFile::encodeName(path("mirror")).constData(), "tmpfs", MS_RDONLY, "size=64k") != 0)
            QSKIP("cannot mount a read-only tmpfs here (needs root)");
    } else if (!linkTo.isEmpty()) {
        QVERIFY(work.mkpath(QFileInfo(path("rel/") + file).path()));
        QVERIFY(QFile::link(linkTo, path("rel/") + file));
    } else if (!file.isEmpty() && !file.startsWith(QLatin1Char('@'))) {
        QVERIFY(writeTestFile(path("rel/") + file, "x"));
    }
    QStringList command{"release", "--key", "test.key", "--version", "5"};
    if (!previousIni.isNull()) {
        QVERIFY(writeTestFile(path("previous.ini"), previousIni));
        command << "--previous" << "previous.ini";
    }
    for (int i = 0; i + 1 < args.size(); i += 2) {
        const qsizetype at = command.indexOf(args.at(i));
        if (at > 0)
            command[at + 1] = args.at(i + 1);
        else
            command << args.at(i) << args.at(i + 1);
    }
    const QStringList before = treeOf(path("mirror"));
    const Result result = tool(command << "rel" << "mirror");
    QCOMPARE(result.code, code);
    QVERIFY2(result.err.contains(stderrHas.toUtf8()), result.err.constData());
    QCOMPARE(result.err.count('\n'), 1);
    QCOMPARE(treeOf(path("mirror")), before);
}

bool tst_QuorvelPublish::serveAuditMirrors()
{
    if (!mirrorUrls.isEmpty())
        return true;
    const QString root = top.filePath(QStringLiteral("mirrors"));
    TestRelease release(7);
    release.files["a.bin"] = randomTestData(200000, 1);
    release.files["b.txt"] = "b";
    release.files["c.bin"] = randomTestData(100000, 2);
    release.files["doc/readme.txt"] = readmeText;
    release.gzipped << "doc/readme.txt";
    TestRelease other = release;
    other.files["b.txt"] = "another b";
    for (const char* mirror : {"m1", "m2", "m3", "m6"})
        if (!release.publish(root + QLatin1Char('/') + QLatin1String(mirror)))
            return false;
    QByteArray corrupted = release.files["a.bin"];
    corrupted[1000] = char(corrupted.at(1000) ^ 1);
    QByteArray signature = readTestFile(root + "/m6/7/client_test.ini.sig");
    signature[10] = char(signature.at(10) ^ 1);
    QTcpServer closed; // a port where nothing listens
    if (!other.publish(root + "/m5") || !QFile::remove(root + "/m1/7/files/c.bin")
        || !writeTestFile(root + "/m2/7/files/a.bin", release.files["a.bin"].left(199999))
        || !writeTestFile(root + "/m3/7/files/a.bin", corrupted)
        || !writeTestFile(root + "/m6/7/client_test.ini.sig", signature) || !closed.listen(QHostAddress::LocalHost))
        return false;
    const QString down = QStringLiteral("http://127.0.0.1:%1/m4").arg(closed.serverPort());
    closed.close();
    if (!nginx.start(root, top.filePath(QStringLiteral("nginx")), NginxMirrors::Options()))
        return false;
    for (const char* mirror : {"m1", "m2", "m3", "m4", "m5", "m6"})
        mirrorUrls << (mirror == QLatin1String("m4") ? down : nginx.urls().first().toString() + QLatin1String(mirror));
    return true;
}

void tst_QuorvelPublish::auditsMirrors_data()
{
    QTest::addColumn<int>("mirrors"); // the first of m1 to m6 in mirrors.ini
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("report"); // {m1} ... stand for the mirrors' URLs, {bytes} for the release's size

    const QString sizes = "client_test 7: 4 files, 0.3 MiB; sizes checked\n"
                          "mirror1 {m1}: missing 1 (files/c.bin)\n"
                          "mirror2 {m2}: wrong size 1 (files/a.bin)\n"
                          "mirror3 {m3}: complete\n"
                          "mirror4 {m4}: unreachable (connection refused)\n";
    const QString md5 = "client_test 7: 4 files, 0.3 MiB; sizes and MD5 checked\n"
                        "mirror1 {m1}: missing 1 (files/c.bin)\n"
                        "mirror2 {m2}: wrong size 1 (files/a.bin)\n"
                        "mirror3 {m3}: wrong MD5 1 (files/a.bin)\n"
                        "mirror4 {m4}: unreachable (connection refused)\n";
    const QString quarter = "complete: 1 of 4 mirrors, 25% of the pool's weight\n";
    const QString none = "complete: 0 of 4 mirrors, 0% of the pool's weight\n";
    QTest::newRow("sizes") << 4 << QStringList() << 1 << sizes + quarter;
    QTest::newRow("sizes, a quarter required") << 4 << QStringList{"--require", "25"} << 0 << sizes + quarter;
    QTest::newRow("sizes, a third required") << 4 << QStringList{"--require", "33.3"} << 1 << sizes + quarter;
    QTest::newRow("MD5") << 4 << QStringList{"--deep"} << 1 << md5 + none;
    QTest::newRow("MD5, a quarter required") << 4 << QStringList{"--deep", "--require", "25", "--streams", "1"} << 1
                                             << md5 + none;
    QTest::newRow("stale and forged product ini")
        << 6 << QStringList() << 1
        << sizes + "mirror5 {m5}: ini differs\nmirror6 {m6}: signature invalid\n"
                   "complete: 1 of 6 mirrors, 16.7% of the pool's weight\n";
    QTest::newRow("JSON") << 4 << QStringList{"--deep", "--json"} << 1 << R"({"type": "client_test", "version": 7,
        "deep": true, "release": "client_test 7: 4 files, 0.3 MiB; sizes and MD5 checked", "files": 4, "bytes": {bytes},
        "completeWeight": 0, "totalWeight": 4, "completePercent": 0, "exitCode": 1, "mirrors": [
        {"name": "mirror1", "url": "{m1}", "weight": 1, "status": "incomplete", "missing": ["files/c.bin"], "wrongSize": [], "wrongMd5": []},
        {"name": "mirror2", "url": "{m2}", "weight": 1, "status": "incomplete", "missing": [], "wrongSize": ["files/a.bin"], "wrongMd5": []},
        {"name": "mirror3", "url": "{m3}", "weight": 1, "status": "incomplete", "missing": [], "wrongSize": [], "wrongMd5": ["files/a.bin"]},
        {"name": "mirror4", "url": "{m4}", "weight": 1, "status": "unreachable", "reason": "connection refused",
         "missing": [], "wrongSize": [], "wrongMd5": []}]})";
}

void tst_QuorvelPublish::auditsMirrors()
{
    QFETCH(int, mirrors);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, report);
    if (!NginxMirrors::available())
        QSKIP("nginx is not installed");
    QVERIFY2(serveAuditMirrors(), qPrintable(nginx.errorText()));
    QList<TestMirrorEntry> entries;
    for (int i = 0; i < mirrors; ++i) {
        entries.append({testMirrorName(i), mirrorUrls.at(i), QString()});
        report.replace(QStringLiteral("{m%1}").arg(i + 1), mirrorUrls.at(i) + QStringLiteral("/7"));
    }
    QVERIFY(writeMirrorsIni(path("mirrors.ini"), entries));
    report.replace(QStringLiteral("{bytes}"), QString::number(300001 + gzipData(readmeText).size()));
    QVERIFY(QFile::copy(QUORVEL_SOURCE_DIR "/tests/keys/test_public.key", path("test.pub")));

    const Result result = tool(QStringList{"audit", "--key", "test.pub", "--version", "7", "--type", "client_test"} + args
                               << "mirrors.ini");
    QCOMPARE(result.code, code);
    QCOMPARE(result.err, QByteArray()); // no terminal, no progress line
    if (args.contains("--json"))
        QCOMPARE(QJsonDocument::fromJson(result.out), QJsonDocument::fromJson(report.toUtf8()));
    else
        QCOMPARE(QString::fromUtf8(result.out), report);
}

QTEST_GUILESS_MAIN(tst_QuorvelPublish)
#include "tst_quorvelpublish.moc"
