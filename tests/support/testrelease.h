#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// A client release as a test publishes it: installed paths with their contents, which of
// them travel gzip-compressed, and the paths its "delete" section names.
//
//     TestRelease release(2);
//     release.files["bin/tool"] = "...";
//     release.gzipped << "bin/tool";
//     QVERIFY(release.publish(mirrorRoot));   // then serve mirrorRoot with TestHttpServer
struct TestRelease
{
    explicit TestRelease(int version, const QString& clientType = QStringLiteral("client_test"))
        : version(version)
        , clientType(clientType)
    {
    }

    int version;
    QString clientType;
    QMap<QString, QByteArray> files;
    QSet<QString> gzipped;
    QStringList deleted;

    // The signed product ini as bytes, written with Qt's own INI writer.
    QByteArray productIni() const;
    // Writes <root>/<version>/: the product ini, its ".sig" and every file under its section.
    bool publish(const QString& mirrorRoot) const;
    // Writes the files as installed, as if this release were the one in place.
    bool install(const QString& installRoot) const;
};
