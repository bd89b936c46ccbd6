// bench_install gen DIR COUNT TOTAL_MIB
//     Writes COUNT downloads of TOTAL_MIB unpacked in all under DIR, every second one
//     gzip-compressed, and DIR/manifest.txt with one "key<TAB>unpacked path<TAB>md5" line
//     each (the last two empty for a plain file).
// bench_install install ROOT DIR
//     Installs the downloads of DIR under ROOT with FileReplaceListTaskSpecification.
#include "core/configuration.h"
#include "update/filereplacelisttaskspecification.h"
#include "update/filespecifications.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <zlib.h>

namespace {
// Compressible pseudo-random text: words drawn from a small vocabulary, so that gzip is
// quick and the sizes are like those of real program data.
QByteArray makeText(qint64 size, quint64 seed)
{
    static const char* const words[] = {"alpha ", "quorvel ", "mirror ", "update ", "library ", "plugin ",
                                        "0x7f3a ", "journal\n", "rollback ", "checksum ", "zeta ", "42 "};
    QByteArray text(size, Qt::Uninitialized);
    char* out = text.data();
    qint64 pos = 0;
    quint64 state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (pos < size) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const char* word = words[state % 12];
        while (*word && pos < size)
            out[pos++] = *word++;
    }
    return text;
}

int generate(const QString& dir, int count, qint64 totalMiB)
{
    const qint64 each = totalMiB * 1024 * 1024 / count;
    QFile manifest(dir + QStringLiteral("/manifest.txt"));
    if (!manifest.open(QIODevice::WriteOnly | QIODevice::Text))
        return 1;
    QTextStream lines(&manifest);
    for (int i = 0; i < count; ++i) {
        const QString rel = QStringLiteral("d%1/file%2.bin").arg(i % 20).arg(i);
        const QByteArray data = makeText(each, quint64(i));
        if (!QDir(dir).mkpath(QStringLiteral("d%1").arg(i % 20)))
            return 1;
        if (i % 2) {
            const QString key = rel + QStringLiteral(".gz");
            gzFile out = gzopen(QFile::encodeName(dir + QLatin1Char('/') + key).constData(), "wb1");
            if (!out || gzwrite(out, data.constData(), unsigned(data.size())) != int(data.size())
                || gzclose(out) != Z_OK)
                return 1;
            const QByteArray md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
            lines << key << '\t' << rel << '\t' << md5 << '\n';
        } else {
            QFile out(dir + QLatin1Char('/') + rel);
            if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size())
                return 1;
            lines << rel << "\t\t\n";
        }
    }
    return 0;
}

int install(const QString& root, const QString& dir)
{
    QFile manifest(dir + QStringLiteral("/manifest.txt"));
    if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text))
        return 1;
    FileSpecifications lists;
    QTextStream lines(&manifest);
    while (!lines.atEnd()) {
        const QStringList fields = lines.readLine().split(QLatin1Char('\t'));
        if (fields.size() != 3)
            continue;
        FileReplaceSpecification item;
        item.section = QStringLiteral("bench");
        item.filePath = fields.at(0);
        item.unzipFilePath = fields.at(1);
        item.unzipMd5Sum = fields.at(2);
        lists.replaceList.append(item);
    }

    Configuration configuration;
    configuration.tempDir = dir;
    Configuration::setAppRootPath(root);
    FileReplaceListTaskSpecification task(&lists.replaceList, &lists.deleteList, &configuration, nullptr, 1.0);
    QObject::connect(&task, &TaskSpecification::message, &task, [](const QString& text) {
        if (!text.startsWith(QLatin1String("add/replace")))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    int result = 1;
    QElapsedTimer timer;
    QObject::connect(&task, &TaskSpecification::finished, qApp, [&] {
        result = 0;
        QCoreApplication::quit();
    });
    QObject::connect(&task, &TaskSpecification::canceled, qApp, [] { QCoreApplication::quit(); });
    timer.start();
    QMetaObject::invokeMethod(&task, &TaskSpecification::execute, Qt::QueuedConnection);
    QCoreApplication::exec();
    std::fprintf(stderr, "installed %lld files in %lld ms\n", static_cast<long long>(lists.replaceList.size()),
                 static_cast<long long>(timer.elapsed()));
    return result;
}
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("gen"))
        return generate(args.at(2), args.at(3).toInt(), args.at(4).toLongLong());
    if (args.size() == 4 && args.at(1) == QLatin1String("install"))
        return install(args.at(2), args.at(3));
    std::fprintf(stderr, "usage: bench_install gen DIR COUNT TOTAL_MIB | install ROOT DIR\n");
    return 2;
}
