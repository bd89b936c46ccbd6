#include "support/testfiles.h"
#include "update/publickey.h"
#include "update/tomcryptutil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <functional>

namespace {

const char* const kPublishTool = QUORVEL_BINARY_DIR "/tools/quorvel-publish/quorvel-publish";
const char* const kTestPrivateKey = QUORVEL_TEST_PRIVATE_KEY;

// Releases a loaded key at scope end.
struct KeyGuard
{
    Rsa_key key;
    bool loaded = false;
    ~KeyGuard()
    {
        if (loaded)
            rsa_free(&key);
    }
};

QByteArray sign(Rsa_key* key, const QByteArray& data)
{
    unsigned char sig[1024];
    unsigned long len = sizeof sig;
    sign_msg(key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(), sig, &len);
    return QByteArray(reinterpret_cast<const char*>(sig), len);
}

bool verify(Rsa_key* key, const QByteArray& data, QByteArray sig)
{
    return verify_msg(key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(),
                      reinterpret_cast<unsigned char*>(sig.data()), sig.size());
}

QString cryptError(const std::function<void()>& call)
{
    try {
        call();
    } catch (const crypt_exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// Runs a program to its end; returns its exit code, -1 if it did not run.
int run(const QString& program, const QStringList& args, QByteArray* output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

QByteArray padToKeyFile(QByteArray der)
{
    der.append(QByteArray(2048 - der.size(), '\0'));
    return der;
}

} // namespace

class tst_TomCryptUtil : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void secondInitChangesNothing();
    void builtInKeyIsTestPair();
    void shippedProgramEmbedsConfiguredKey();
    void signatureFailsAfterAnyChangedByte();
    void rejectsSignatureOfWrongLength_data();
    void rejectsSignatureOfWrongLength();

    void openSslInterop_data();
    void openSslInterop();

    void createdKeyIsSoundRsa();
    void saveKeyWritesKeyFileForm_data();
    void saveKeyWritesKeyFileForm();
    void saveKeyRefusesExportOverKeyFileSize();
    void refusesOperandsBeyondCapacity();
    void loadKeyFromMissingFileFails();

    void readFile();
    void fileErrorsName_data();
    void fileErrorsName();

private:
    QString path(const QString& name) const { return dir.filePath(name); }
    // An OpenSSL key of the given size: PEM private, PEM public, PKCS #1 DER private and public.
    bool makeOpenSslKey(int bits);

    QTemporaryDir dir;
};

void tst_TomCryptUtil::initTestCase()
{
    QVERIFY(dir.isValid());
    crypt_init();
    QVERIFY(hash_idx >= 0);
    QVERIFY(prng_idx >= 0);
    QVERIFY2(QFileInfo(QString::fromLatin1(kPublishTool)).isExecutable(), kPublishTool);
    QCOMPARE(run(QStringLiteral("openssl"), {QStringLiteral("version")}), 0);
}

bool tst_TomCryptUtil::makeOpenSslKey(int bits)
{
    const QString base = path(QStringLiteral("ossl%1").arg(bits));
    if (QFile::exists(base + QStringLiteral(".pub.key")))
        return true;
    const QString pem = base + QStringLiteral(".pem");
    if (run(QStringLiteral("openssl"), {"genpkey", "-algorithm", "RSA", "-pkeyopt",
                                         QStringLiteral("rsa_keygen_bits:%1").arg(bits), "-out", pem}) != 0)
        return false;
    if (run(QStringLiteral("openssl"), {"rsa", "-in", pem, "-pubout", "-out", base + ".pub.pem"}) != 0)
        return false;
    if (run(QStringLiteral("openssl"), {"rsa", "-in", pem, "-traditional", "-outform", "DER", "-out",
                                         base + ".der"}) != 0)
        return false;
    if (run(QStringLiteral("openssl"), {"rsa", "-in", pem, "-RSAPublicKey_out", "-outform", "DER", "-out",
                                         base + ".pub.der"}) != 0)
        return false;
    const QByteArray privateDer = readTestFile(base + ".der");
    const QByteArray publicDer = readTestFile(base + ".pub.der");
    if (privateDer.isEmpty() || publicDer.isEmpty())
        return false;
    // Private keys above 2048 bits do not fit the key file form; they are only used from memory.
    if (privateDer.size() <= 2048 && !writeTestFile(base + ".key", padToKeyFile(privateDer)))
        return false;
    return writeTestFile(base + ".pub.key", padToKeyFile(publicDer));
}

void tst_TomCryptUtil::secondInitChangesNothing()
{
    const int hash = hash_idx;
    const int prng = prng_idx;
    crypt_init();
    QCOMPARE(hash_idx, hash);
    QCOMPARE(prng_idx, prng);
    QCOMPARE(find_hash("sha1"), hash);
}

void tst_TomCryptUtil::builtInKeyIsTestPair()
{
    KeyGuard pub;
    load_key(&pub.key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
    pub.loaded = true;
    QCOMPARE(pub.key.type, int(PK_PUBLIC));
    QCOMPARE(rsa_get_size(&pub.key), 128);

    KeyGuard priv;
    load_key(&priv.key, kTestPrivateKey);
    priv.loaded = true;
    QCOMPARE(priv.key.type, int(PK_PRIVATE));
    const QByteArray data("[client]\nversion=3\n");
    QVERIFY(verify(&pub.key, data, sign(&priv.key, data)));
}

void tst_TomCryptUtil::shippedProgramEmbedsConfiguredKey()
{
    // Tests run against their own key; the program that ships must hold the configured one.
    const QString configuredPath = qEnvironmentVariable("QUORVEL_SHIPPED_PUBLIC_KEY");
    QVERIFY2(!configuredPath.isEmpty(), "QUORVEL_SHIPPED_PUBLIC_KEY is not set; ctest sets it");
    const QByteArray configured = readTestFile(configuredPath);
    QCOMPARE(configured.size(), int(PUBLIC_KEY_SIZE));
    const QByteArray program = readTestFile(QStringLiteral(QUORVEL_BINARY_DIR "/src/update"));
    QVERIFY2(!program.isEmpty(), "the update program is not built");
    QVERIFY2(program.contains(configured), qPrintable(configuredPath));
    const QByteArray testKey(reinterpret_cast<const char*>(PUBLIC_KEY), PUBLIC_KEY_SIZE);
    if (testKey != configured)
        QVERIFY(!program.contains(testKey));
}

void tst_TomCryptUtil::signatureFailsAfterAnyChangedByte()
{
    KeyGuard priv;
    load_key(&priv.key, kTestPrivateKey);
    priv.loaded = true;
    KeyGuard pub;
    load_key(&pub.key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
    pub.loaded = true;

    const QByteArray data("version=3\nfile=a.bin\n");
    const QByteArray sig = sign(&priv.key, data);
    QCOMPARE(sig.size(), 128);
    QVERIFY(verify(&pub.key, data, sig));
    for (int i = 0; i < data.size(); ++i) {
        QByteArray changed = data;
        changed[i] = char(changed.at(i) ^ 0x01);
        QVERIFY2(!verify(&pub.key, changed, sig), qPrintable(QStringLiteral("message byte %1").arg(i)));
    }
    // A changed signature byte is a bad signature, not an error.
    for (int i = 0; i < sig.size(); ++i) {
        QByteArray changed = sig;
        changed[i] = char(changed.at(i) ^ 0x80);
        QVERIFY2(!verify(&pub.key, data, changed), qPrintable(QStringLiteral("signature byte %1").arg(i)));
    }
    // Values at or above the modulus, e.g. a signature made with another key.
    QVERIFY(!verify(&pub.key, data, QByteArray(128, '\xFF')));
    QVERIFY(!verify(&pub.key, data, QByteArray(128, '\0')));
}

void tst_TomCryptUtil::rejectsSignatureOfWrongLength_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("127 bytes") << 127;
    QTest::newRow("129 bytes") << 129;
    QTest::newRow("empty") << 0;
}

void tst_TomCryptUtil::rejectsSignatureOfWrongLength()
{
    QFETCH(int, length);
    KeyGuard priv;
    load_key(&priv.key, kTestPrivateKey);
    priv.loaded = true;
    const QByteArray data("data");
    QByteArray sig = sign(&priv.key, data);
    sig.resize(length, '\0');
    const QString error = cryptError([&] { verify(&priv.key, data, sig); });
    QVERIFY2(error.startsWith(QStringLiteral("rsa_verify_hash: ")), qPrintable(error));
}

void tst_TomCryptUtil::openSslInterop_data()
{
    QTest::addColumn<int>("bits");
    QTest::newRow("1024") << 1024;
    QTest::newRow("2048") << 2048;
    QTest::newRow("4096") << 4096;
}

void tst_TomCryptUtil::openSslInterop()
{
    QFETCH(int, bits);
    QVERIFY(makeOpenSslKey(bits));
    const QString base = path(QStringLiteral("ossl%1").arg(bits));
    const QString message = base + QStringLiteral(".msg");
    const QByteArray data = "product ini for a " + QByteArray::number(bits) + "-bit key\n";
    QVERIFY(writeTestFile(message, data));

    // The public key in key file form loads with the file-based load_key.
    KeyGuard pub;
    load_key(&pub.key, QFile::encodeName(base + ".pub.key").constData());
    pub.loaded = true;
    QCOMPARE(rsa_get_size(&pub.key), bits / 8);

    // OpenSSL signs, we verify: the library and the tool.
    QCOMPARE(run(QStringLiteral("openssl"), {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                                             "rsa_pss_saltlen:8", "-sign", base + ".pem", "-out", message + ".sig",
                                             message}),
             0);
    const QByteArray opensslSig = readTestFile(message + ".sig");
    QCOMPARE(opensslSig.size(), bits / 8);
    QVERIFY(verify(&pub.key, data, opensslSig));
    QVERIFY(!verify(&pub.key, data + "!", opensslSig));
    QByteArray output;
    QCOMPARE(run(QString::fromLatin1(kPublishTool), {"verify", base + ".pub.key", message}, &output), 0);

    // We sign, OpenSSL verifies.
    KeyGuard priv;
    load_key(&priv.key, reinterpret_cast<const unsigned char*>(readTestFile(base + ".der").constData()),
             readTestFile(base + ".der").size());
    priv.loaded = true;
    QVERIFY(writeTestFile(message + ".sig", sign(&priv.key, data)));
    QCOMPARE(run(QStringLiteral("openssl"), {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                                             "rsa_pss_saltlen:8", "-verify", base + ".pub.pem", "-signature",
                                             message + ".sig", message},
                 &output),
             0);
    QVERIFY2(output.contains("Verified OK"), output.constData());
}

void tst_TomCryptUtil::createdKeyIsSoundRsa()
{
    KeyGuard key;
    create_key(&key.key);
    key.loaded = true;
    QCOMPARE(rsa_get_size(&key.key), 128);
    const QString privatePath = path(QStringLiteral("created.key"));
    save_key(&key.key, PK_PRIVATE, QFile::encodeName(privatePath).constData());

    // OpenSSL checks the whole key: primes, modulus, exponents, CRT values.
    QCOMPARE(readTestFile(privatePath).size(), 2048);
    unsigned char der[2048];
    unsigned long derLength = sizeof der;
    QCOMPARE(rsa_export(der, &derLength, PK_PRIVATE, &key.key), int(CRYPT_OK));
    QVERIFY(writeTestFile(privatePath + ".der", QByteArray(reinterpret_cast<const char*>(der), derLength)));
    QByteArray output;
    QCOMPARE(run(QStringLiteral("openssl"), {"rsa", "-inform", "DER", "-in", privatePath + ".der", "-check", "-noout"},
                 &output),
             0);
    QVERIFY2(output.contains("RSA key ok"), output.constData());

    const QByteArray data("fresh key");
    QVERIFY(verify(&key.key, data, sign(&key.key, data)));
}

void tst_TomCryptUtil::saveKeyWritesKeyFileForm_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("derLength");
    QTest::newRow("public") << int(PK_PUBLIC) << 140;
    QTest::newRow("private") << int(PK_PRIVATE) << -1;
}

void tst_TomCryptUtil::saveKeyWritesKeyFileForm()
{
    QFETCH(int, type);
    QFETCH(int, derLength);
    KeyGuard key;
    load_key(&key.key, kTestPrivateKey);
    key.loaded = true;
    const QString file = path(QStringLiteral("saved-%1.key").arg(type));
    // Leftover bytes of an earlier, longer file must not survive.
    QVERIFY(writeTestFile(file, QByteArray(4096, '\xAA')));
    save_key(&key.key, type, QFile::encodeName(file).constData());

    const QByteArray saved = readTestFile(file);
    QCOMPARE(saved.size(), 2048);
    // The DER length is in the SEQUENCE header (long form, two length bytes for these keys).
    QCOMPARE(quint8(saved.at(0)), quint8(0x30));
    const int length = saved.at(1) == char(0x81) ? 3 + quint8(saved.at(2))
                                                 : 4 + (quint8(saved.at(2)) << 8) + quint8(saved.at(3));
    if (derLength > 0)
        QCOMPARE(length, derLength);
    QCOMPARE(saved.mid(length), QByteArray(2048 - length, '\0'));
    if (type == PK_PUBLIC)
        QCOMPARE(saved, QByteArray(reinterpret_cast<const char*>(PUBLIC_KEY), PUBLIC_KEY_SIZE));

    KeyGuard again;
    load_key(&again.key, QFile::encodeName(file).constData());
    again.loaded = true;
    QCOMPARE(again.key.type, type);
    const QByteArray data("again");
    QVERIFY(verify(&again.key, data, sign(&key.key, data)));
}

void tst_TomCryptUtil::saveKeyRefusesExportOverKeyFileSize()
{
    QVERIFY(makeOpenSslKey(4096));
    const QByteArray der = readTestFile(path(QStringLiteral("ossl4096.der")));
    QVERIFY(der.size() > 2048);
    KeyGuard key;
    load_key(&key.key, reinterpret_cast<const unsigned char*>(der.constData()), der.size());
    key.loaded = true;
    const QString file = path(QStringLiteral("toolarge.key"));
    const QString error = cryptError([&] { save_key(&key.key, PK_PRIVATE, QFile::encodeName(file).constData()); });
    QVERIFY2(error.startsWith(QStringLiteral("rsa_export: ")), qPrintable(error));
    QVERIFY(!QFile::exists(file));
}

void tst_TomCryptUtil::refusesOperandsBeyondCapacity()
{
    // An RSAPublicKey with a 8192-bit modulus: more than the fixed-size numbers can
    // multiply. It must be refused, not loaded truncated.
    QByteArray modulus(1025, '\xFF');
    modulus[0] = '\0';
    QByteArray body = "\x02\x82" + QByteArray(1, char(modulus.size() >> 8)) + QByteArray(1, char(modulus.size() & 0xFF))
                      + modulus + QByteArray("\x02\x03\x01\x00\x01", 5);
    QByteArray der = "\x30\x82" + QByteArray(1, char(body.size() >> 8)) + QByteArray(1, char(body.size() & 0xFF)) + body;
    Rsa_key key;
    const QString error = cryptError([&] {
        load_key(&key, reinterpret_cast<const unsigned char*>(der.constData()), der.size());
        rsa_free(&key);
    });
    QCOMPARE(error, QStringLiteral("rsa_import: %1").arg(QString::fromLatin1(error_to_string(CRYPT_OVERFLOW))));
}

void tst_TomCryptUtil::loadKeyFromMissingFileFails()
{
    Rsa_key key;
    const QString error = cryptError([&] {
        load_key(&key, QFile::encodeName(path(QStringLiteral("no-such.key"))).constData());
        rsa_free(&key);
    });
    QVERIFY2(error.startsWith(QStringLiteral("rsa_import: ")), qPrintable(error));

    // Found by fuzzing: libtomcrypt aborts the process on an empty buffer.
    const unsigned char none = 0;
    const QString emptyError = cryptError([&] {
        load_key(&key, &none, 0);
        rsa_free(&key);
    });
    QVERIFY2(emptyError.startsWith(QStringLiteral("rsa_import: ")), qPrintable(emptyError));
}

void tst_TomCryptUtil::readFile()
{
    const QString empty = path(QStringLiteral("empty"));
    QVERIFY(writeTestFile(empty, QByteArray()));
    unsigned char* data = nullptr;
    unsigned long length = 99;
    read_file(QFile::encodeName(empty).constData(), &data, &length);
    QCOMPARE(length, 0ul);
    QVERIFY(data != nullptr);
    std::free(data);

    // Several 2048-byte steps and a ragged end.
    QByteArray content(5000, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    const QString some = path(QStringLiteral("some"));
    QVERIFY(writeTestFile(some, content));
    read_file(QFile::encodeName(some).constData(), &data, &length);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(data), length), content);
    std::free(data);

    const QString copy = path(QStringLiteral("copy"));
    write_file(QFile::encodeName(copy).constData(), reinterpret_cast<unsigned char*>(content.data()), content.size());
    QCOMPARE(readTestFile(copy), content);
}

void tst_TomCryptUtil::fileErrorsName_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("expected");
    QTest::newRow("read missing") << "read" << "Cannot open file for reading: %1";
    QTest::newRow("write into missing directory") << "write" << "Cannot open file for writing: %1";
    QTest::newRow("save into missing directory") << "save" << "Cannot open file for writing: %1";
}

void tst_TomCryptUtil::fileErrorsName()
{
    QFETCH(QString, operation);
    QFETCH(QString, expected);
    const QByteArray file = QFile::encodeName(path(QStringLiteral("missing/dir/file")));
    KeyGuard key;
    load_key(&key.key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
    key.loaded = true;
    const QString error = cryptError([&] {
        unsigned char byte = 0;
        unsigned char* data = nullptr;
        unsigned long length = 0;
        if (operation == QLatin1String("read"))
            read_file(file.constData(), &data, &length);
        else if (operation == QLatin1String("write"))
            write_file(file.constData(), &byte, 1);
        else
            save_key(&key.key, PK_PUBLIC, file.constData());
    });
    QCOMPARE(error, expected.arg(QString::fromLocal8Bit(file)));
}

QTEST_GUILESS_MAIN(tst_TomCryptUtil)
#include "tst_tomcryptutil.moc"
