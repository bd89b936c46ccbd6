#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What the audit found on one mirror.
struct MirrorFindings
{
    enum State {
        Checked,          // the lists say what is missing or wrong; nothing else is
        IniDiffers,       // a validly signed product ini, but not the one the pool agrees on
        SignatureInvalid, // its product ini does not verify with the key
        Unreachable
    };

    QString name;
    QString url;    // base URL ending in the version, as the updater builds it
    int weight = 1; // its share of the updater's choices
    State state = Checked;
    QStringList missing;
    QStringList wrongSize;
    QStringList wrongMd5;
    QString reason; // why unreachable

    bool isComplete() const { return state == Checked && missing.isEmpty() && wrongSize.isEmpty() && wrongMd5.isEmpty(); }
};

struct AuditSummary
{
    QString type;
    int version = 0;
    bool deep = false;
    // The reference product ini: the validly signed one that most of the pool's weight serves.
    bool hasReference = false;
    QString referenceProblem; // why the reference could not be read; empty when it could
    int files = 0;
    quint64 bytes = 0;
    QList<MirrorFindings> mirrors;

    // Complete: it serves the reference, the reference can be read, every file checked out.
    bool isComplete(const MirrorFindings& mirror) const
    {
        return hasReference && referenceProblem.isEmpty() && mirror.isComplete();
    }
    int totalWeight() const;
    int completeWeight() const;
    double completePercent() const;
};

// One line for the release, one per mirror, one for the share of the pool that is complete.
QString textReport(const AuditSummary& summary);
// The same as a JSON document, with every file name and the exit code.
QByteArray jsonReport(const AuditSummary& summary, int exitCode);
