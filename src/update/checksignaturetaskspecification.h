#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"

#include <QByteArray>
#include <QString>

// Verifies one file on a pool thread: against an MD5 sum given as hex text, or, when the
// sum is empty, against the RSA signature in the file named like it with ".sig" appended.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    CheckSigFunc(const QString& filePath, const QString& md5Sum);

    bool run() override;

    // Reads a whole (small) file; used for the product ini and its signature.
    bool readFile(const QString& path, QByteArray& data);
    bool checkMD5();
    bool checkRSA();

private:
    QString filePath;
    QString md5Sum;
};

class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(QString filePath, QString md5Sum, bool cancelOnFailure, QObject* parent,
                                    double parentProgressRange);

    const QString& getFilePath() const { return filePath; }

    // The MD5 (hex) of the file as its writer computed it from the bytes it wrote and closed
    // without error. An MD5 check then compares this instead of reading the file back.
    void setWrittenMd5(const QString& md5) { writtenMd5 = md5; }

    void execute() override;
    void reset() override;

Q_SIGNALS:
    // Emitted exactly once per run, before the task ends.
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    ASyncFunc* createFunction() override;
    void runDone(bool pass) override;

private:
    QString filePath;
    QString md5Sum;
    QString writtenMd5;
    bool cancelOnFailure;
};
