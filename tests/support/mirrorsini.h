#pragma once

#include <QList>
#include <QString>

class Mirrors;
class QObject;
class TestHttpServer;

// One entry of a mirrors.ini written by a test. An empty `retries` leaves the key out.
struct TestMirrorEntry
{
    QString name;
    QString url;
    QString retries;
};

// Writes a mirrors.ini (Qt's INI array layout) listing the entries in order.
bool writeMirrorsIni(const QString& path, const QList<TestMirrorEntry>& entries);
// Writes a mirrors.ini naming the servers "mirror1", "mirror2", ... in order, each with its
// base URL and the given retries.
bool writeMirrorsIni(const QString& path, const QList<TestHttpServer*>& servers, int retries = 2);
// Name of the i-th (0-based) server of the list form above.
QString testMirrorName(int index);
// Transfer slots of the pool in use right now; every test ends with this back at 0.
int usedSlots(const Mirrors& pool);
// Starts `count` test servers owned by `owner`, appends them to `servers`, writes them to a
// mirrors.ini at `iniPath` and loads `pool` from it. False when any step failed.
bool startTestMirrors(int count, QObject* owner, const QString& iniPath, int version, Mirrors& pool,
                      QList<TestHttpServer*>& servers);
// Seeds the generator so that the draws between two free slots pick these indexes in turn.
void steerDraws(const QList<int>& picks);
