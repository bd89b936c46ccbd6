#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>
#include <QtTest>

namespace {
const QString translationsDir = QStringLiteral(QUORVEL_SOURCE_DIR "/translations");

struct Message
{
    QString key; // context, source and comment: what lupdate tells messages apart by
    QString source;
    QString type;
    QStringList translations; // one per plural form for %n messages
};

// The messages of a .ts file, or an error text in `error`.
QList<Message> parseTs(const QByteArray& contents, QString& error)
{
    QList<Message> messages;
    QXmlStreamReader xml(contents);
    QString context;
    Message* current = nullptr;
    QString comment;
    bool numerus = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("context")) {
                context.clear();
            } else if (name == QLatin1String("name") && !current) {
                context = xml.readElementText();
            } else if (name == QLatin1String("message")) {
                messages.append(Message{});
                current = &messages.last();
                numerus = xml.attributes().value(QLatin1String("numerus")) == QLatin1String("yes");
                comment.clear();
            } else if (current && name == QLatin1String("source")) {
                current->source = xml.readElementText();
            } else if (current && name == QLatin1String("comment")) {
                comment = xml.readElementText();
            } else if (current && name == QLatin1String("translation")) {
                current->type = xml.attributes().value(QLatin1String("type")).toString();
                if (!numerus)
                    current->translations.append(xml.readElementText());
                while (numerus && xml.readNextStartElement())
                    current->translations.append(xml.readElementText());
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("message") && current) {
            current->key = context + QChar(0x1f) + current->source + QChar(0x1f) + comment;
            current = nullptr;
        }
    }
    if (xml.hasError())
        error = xml.errorString();
    return messages;
}

// %1..%99 and %n; %L1 is the same argument as %1, only formatted for the locale.
QSet<QString> placeholders(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("%L?(\\d{1,2}|n)"));
    QSet<QString> found;
    for (const QRegularExpressionMatch& match : pattern.globalMatch(text))
        found.insert(QLatin1Char('%') + match.captured(1));
    return found;
}

QStringList problemsOf(const QList<Message>& messages, const QSet<QString>& allKeys)
{
    QStringList problems;
    QSet<QString> keys;
    for (const Message& message : messages) {
        keys.insert(message.key);
        const QString what = QLatin1Char('"') + message.source.left(40) + QLatin1Char('"');
        if (!message.type.isEmpty())
            problems << message.type + QLatin1Char(' ') + what;
        const QSet<QString> wanted = placeholders(message.source);
        for (const QString& translation : message.translations) {
            if (translation.trimmed().isEmpty())
                problems << QStringLiteral("empty ") + what;
            else if (placeholders(translation) != wanted)
                problems << QStringLiteral("placeholders differ ") + what;
        }
    }
    for (const QString& key : allKeys) {
        if (!keys.contains(key))
            problems << QStringLiteral("lacks \"%1\"").arg(key.section(QChar(0x1f), 1, 1).left(40));
    }
    return problems;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList tsFiles()
{
    return QDir(translationsDir).entryList({QStringLiteral("update_*.ts")}, QDir::Files, QDir::Name);
}
}

class tst_Translations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyMessageTranslated_data();
    void everyMessageTranslated();

private:
    QSet<QString> allKeys;
};

// Each shipped language must come out clean; copies of the German file with one fault each show
// that the check sees that fault.
void tst_Translations::everyMessageTranslated_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("expected");

    QVERIFY2(tsFiles().size() >= 6, qPrintable(tsFiles().join(QLatin1Char(' '))));
    for (const QString& name : tsFiles()) {
        QString error;
        for (const Message& message : parseTs(readFile(translationsDir + QLatin1Char('/') + name), error))
            allKeys.insert(message.key);
    }
    for (const QString& name : tsFiles())
        QTest::newRow(qPrintable(name)) << readFile(translationsDir + QLatin1Char('/') + name) << QString();

    const QByteArray german = readFile(translationsDir + QStringLiteral("/update_de.ts"));
    QVERIFY(german.contains("<translation>Fehler</translation>"));
    QVERIFY(german.contains("<translation>Ungültige Versionsnummer (%1)</translation>"));
    const auto broken = [&german](const char* from, const char* to) {
        return QByteArray(german).replace(from, to);
    };
    const char* const error = "<translation>Fehler</translation>";
    const char* const version = "<translation>Ungültige Versionsnummer (%1)</translation>";
    QTest::newRow("unfinished") << broken(error, "<translation type=\"unfinished\">Fehler</translation>")
                                << QStringLiteral("unfinished \"Error\"");
    QTest::newRow("obsolete") << broken(error, "<translation type=\"obsolete\">Fehler</translation>")
                              << QStringLiteral("obsolete \"Error\"");
    QTest::newRow("vanished") << broken(error, "<translation type=\"vanished\">Fehler</translation>")
                              << QStringLiteral("vanished \"Error\"");
    QTest::newRow("empty") << broken(error, "<translation></translation>") << QStringLiteral("empty \"Error\"");
    QTest::newRow("placeholder dropped") << broken(version, "<translation>Ungültige Versionsnummer</translation>")
                                         << QStringLiteral("placeholders differ \"Invalid version nr (%1)\"");
    QTest::newRow("placeholder added") << broken(version, "<translation>Ungültige Version %1 (%2)</translation>")
                                       << QStringLiteral("placeholders differ \"Invalid version nr (%1)\"");
    QTest::newRow("other argument") << broken(version, "<translation>Ungültige Versionsnummer (%L2)</translation>")
                                    << QStringLiteral("placeholders differ \"Invalid version nr (%1)\"");
    QTest::newRow("plural form with a placeholder")
        << broken("<message>\n        <source>Error", "<message numerus=\"yes\">\n        <source>Error")
               .replace(error, "<translation><numerusform>Fehler</numerusform>"
                               "<numerusform>%n Fehler</numerusform></translation>")
        << QStringLiteral("placeholders differ \"Error\"");
    QTest::newRow("message missing") << broken("<source>Error</source>", "<source>Errors</source>")
                                     << QStringLiteral("lacks \"Error\"");
}

void tst_Translations::everyMessageTranslated()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, expected);
    QString error;
    const QList<Message> messages = parseTs(contents, error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(!messages.isEmpty());
    const QStringList problems = problemsOf(messages, allKeys);
    if (expected.isEmpty())
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    else
        QCOMPARE(problems, QStringList{expected});
}

QTEST_GUILESS_MAIN(tst_Translations)
#include "tst_translations.moc"
