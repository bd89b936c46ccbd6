#include "auditreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
// Names shown on a mirror's line; the JSON report has them all.
constexpr int NamesShown = 3;

const char* stateName(MirrorFindings::State state, bool complete)
{
    switch (state) {
    case MirrorFindings::Checked:
        return complete ? "complete" : "incomplete";
    case MirrorFindings::IniDiffers:
        return "ini differs";
    case MirrorFindings::SignatureInvalid:
        return "signature invalid";
    case MirrorFindings::Unreachable:
        return "unreachable";
    }
    return "";
}

QString problem(const char* what, const QStringList& names)
{
    QStringList shown = names.mid(0, NamesShown);
    if (names.size() > NamesShown)
        shown << QStringLiteral("...");
    return QStringLiteral("%1 %2 (%3)").arg(QLatin1String(what)).arg(names.size()).arg(shown.join(QStringLiteral(", ")));
}

QString findings(const AuditSummary& summary, const MirrorFindings& mirror)
{
    if (mirror.state == MirrorFindings::Unreachable)
        return QStringLiteral("unreachable (%1)").arg(mirror.reason);
    if (mirror.isComplete() || mirror.state != MirrorFindings::Checked)
        return QLatin1String(stateName(mirror.state, summary.isComplete(mirror)));
    QStringList parts;
    if (!mirror.missing.isEmpty())
        parts << problem("missing", mirror.missing);
    if (!mirror.wrongSize.isEmpty())
        parts << problem("wrong size", mirror.wrongSize);
    if (!mirror.wrongMd5.isEmpty())
        parts << problem("wrong MD5", mirror.wrongMd5);
    return parts.join(QStringLiteral("; "));
}

QString percent(double value)
{
    return QString::number(value, 'f', value == qRound(value) ? 0 : 1) + QLatin1Char('%');
}

QString mebibytes(quint64 bytes)
{
    return QString::number(double(bytes) / (1 << 20), 'f', 1) + QStringLiteral(" MiB");
}

QString releaseLine(const AuditSummary& summary)
{
    const QString release = QStringLiteral("%1 %2: ").arg(summary.type).arg(summary.version);
    if (!summary.hasReference)
        return release + QStringLiteral("no mirror serves a product ini with a valid signature");
    if (!summary.referenceProblem.isEmpty())
        return release + QStringLiteral("the signed product ini cannot be read: ") + summary.referenceProblem;
    return release + QStringLiteral("%1 files, %2; %3 checked")
                         .arg(summary.files)
                         .arg(mebibytes(summary.bytes), summary.deep ? QStringLiteral("sizes and MD5") : QStringLiteral("sizes"));
}
}

int AuditSummary::totalWeight() const
{
    int total = 0;
    for (const MirrorFindings& mirror : mirrors)
        total += mirror.weight;
    return total;
}

int AuditSummary::completeWeight() const
{
    int complete = 0;
    for (const MirrorFindings& mirror : mirrors)
        complete += isComplete(mirror) ? mirror.weight : 0;
    return complete;
}

double AuditSummary::completePercent() const
{
    return totalWeight() > 0 ? 100.0 * completeWeight() / totalWeight() : 0.0;
}

QString textReport(const AuditSummary& summary)
{
    QString text = releaseLine(summary) + QLatin1Char('\n');
    int completeCount = 0;
    for (const MirrorFindings& mirror : summary.mirrors) {
        text += QStringLiteral("%1 %2: %3\n").arg(mirror.name, mirror.url, findings(summary, mirror));
        completeCount += summary.isComplete(mirror);
    }
    return text + QStringLiteral("complete: %1 of %2 mirrors, %3 of the pool's weight\n")
                      .arg(completeCount)
                      .arg(summary.mirrors.size())
                      .arg(percent(summary.completePercent()));
}

QByteArray jsonReport(const AuditSummary& summary, int exitCode)
{
    QJsonArray mirrors;
    for (const MirrorFindings& mirror : summary.mirrors) {
        QJsonObject entry{{"name", mirror.name},
                          {"url", mirror.url},
                          {"weight", mirror.weight},
                          {"status", QLatin1String(stateName(mirror.state, summary.isComplete(mirror)))},
                          {"missing", QJsonArray::fromStringList(mirror.missing)},
                          {"wrongSize", QJsonArray::fromStringList(mirror.wrongSize)},
                          {"wrongMd5", QJsonArray::fromStringList(mirror.wrongMd5)}};
        if (mirror.state == MirrorFindings::Unreachable)
            entry.insert(QStringLiteral("reason"), mirror.reason);
        mirrors.append(entry);
    }
    const QJsonObject report{{"type", summary.type},
                             {"version", summary.version},
                             {"deep", summary.deep},
                             {"release", releaseLine(summary)},
                             {"files", summary.files},
                             {"bytes", double(summary.bytes)},
                             {"mirrors", mirrors},
                             {"completeWeight", summary.completeWeight()},
                             {"totalWeight", summary.totalWeight()},
                             {"completePercent", summary.completePercent()},
                             {"exitCode", exitCode}};
    return QJsonDocument(report).toJson(QJsonDocument::Indented);
}
