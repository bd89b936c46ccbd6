#include "mirroraudit.h"

#include "filecheck.h"

#include "core/configuration.h"
#include "net/downloadtaskspecification.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QDir>
#include <QFile>
#include <QHash>

namespace {
// Neither is listed anywhere, so both are capped: the product ini as the updater caps it, the
// signature at a size no key of ours reaches.
constexpr qint64 MaxIniSize = 64 * 1024 * 1024;
constexpr qint64 MaxSignatureSize = 4096;
}

MirrorAudit::MirrorAudit(QNetworkAccessManager* manager, const QVector<FTPSiteAccessData>& pool, Rsa_key* key,
                         const Settings& settings, QObject* parent)
    : QObject(parent)
    , manager(manager)
    , key(key)
    , settings(settings)
{
    result.type = settings.type;
    result.version = settings.version;
    result.deep = settings.deep;
    for (const FTPSiteAccessData& site : pool) {
        MirrorFindings mirror;
        mirror.name = site.name;
        mirror.url = site.url;
        mirror.weight = site.maxUse;
        result.mirrors << mirror;
        iniDigests << QByteArray();
    }
}

void MirrorAudit::start()
{
    for (int m = 0; m < result.mirrors.size(); ++m) {
        queue.push_back({m, IniJob});
        queue.push_back({m, SignatureJob});
    }
    startJobs();
}

QString MirrorAudit::savedPath(int mirror, int file) const
{
    return settings.workDir + QStringLiteral("/mirror%1.%2").arg(mirror).arg(file == IniJob ? "ini" : "sig");
}

// A check that ends at once ends inside start(): the loop below takes its place.
void MirrorAudit::startJobs()
{
    if (starting)
        return;
    starting = true;
    while (running < settings.streams && !queue.empty()) {
        const Job job = queue.front();
        queue.pop_front();
        if (result.mirrors.at(job.mirror).state != MirrorFindings::Unreachable)
            startJob(job);
    }
    starting = false;
    if (running > 0 || !queue.empty() || over)
        return;
    if (!filePhase && localErrorText.isEmpty()) {
        iniPhaseDone();
        return;
    }
    over = true;
    for (MirrorFindings& mirror : result.mirrors) {
        mirror.missing.sort();
        mirror.wrongSize.sort();
        mirror.wrongMd5.sort();
    }
    Q_EMIT finished();
}

void MirrorAudit::startJob(const Job& job)
{
    const QString& base = result.mirrors.at(job.mirror).url;
    CheckRequest request;
    if (job.file < 0) {
        const QString name = iniName() + (job.file == SignatureJob ? QStringLiteral(".sig") : QString());
        request.url = DownloadTaskSpecification::remoteUrl(base, name);
        request.maximumSize = job.file == SignatureJob ? MaxSignatureSize : MaxIniSize;
        request.hash = job.file == IniJob;
        request.algorithm = QCryptographicHash::Sha1;
        request.savePath = savedPath(job.mirror, job.file);
    } else {
        const FileDownloadSpecification& file = files.at(job.file);
        request.url = DownloadTaskSpecification::remoteUrl(base, file.section + QLatin1Char('/') + file.filePath);
        request.listedSize = file.size;
        request.sizeOnly = !settings.deep;
        request.hash = settings.deep;
    }
    auto* check = new FileCheck(manager, request, this);
    connect(check, &FileCheck::done, this, [this, check, job] { jobDone(check, job); });
    connect(check, &FileCheck::bytesReceived, this, &MirrorAudit::bytesReceived);
    ++running;
    check->start();
}

void MirrorAudit::jobDone(FileCheck* check, const Job& job)
{
    --running;
    check->deleteLater(); // inside its own signal
    MirrorFindings& mirror = result.mirrors[job.mirror];
    if (check->verdict() == FileCheck::LocalError) {
        localErrorText = check->reason();
        queue.clear();
    } else if (check->verdict() == FileCheck::Unreachable) {
        mirror.state = MirrorFindings::Unreachable;
        mirror.reason = check->reason();
    } else if (job.file < 0) {
        takeIniVerdict(check, job);
    } else {
        takeFileVerdict(check, job);
        Q_EMIT fileChecked();
    }
    startJobs();
}

void MirrorAudit::takeIniVerdict(FileCheck* check, const Job& job)
{
    MirrorFindings& mirror = result.mirrors[job.mirror];
    if (mirror.state != MirrorFindings::Checked)
        return;
    if (check->verdict() == FileCheck::Missing)
        mirror.missing << iniName() + (job.file == SignatureJob ? QStringLiteral(".sig") : QString());
    else if (check->verdict() == FileCheck::WrongSize) // longer than either may be
        mirror.state = MirrorFindings::SignatureInvalid;
    else if (job.file == IniJob)
        iniDigests[job.mirror] = check->digest();
}

void MirrorAudit::takeFileVerdict(FileCheck* check, const Job& job)
{
    MirrorFindings& mirror = result.mirrors[job.mirror];
    const FileDownloadSpecification& file = files.at(job.file);
    const QString path = file.section + QLatin1Char('/') + file.filePath;
    switch (check->verdict()) {
    case FileCheck::Good:
        if (settings.deep && file.md5Sum.compare(QString::fromLatin1(check->digest().toHex()), Qt::CaseInsensitive) != 0)
            mirror.wrongMd5 << path;
        break;
    case FileCheck::Missing:
        mirror.missing << path;
        break;
    case FileCheck::WrongSize:
        mirror.wrongSize << path;
        break;
    default:
        break;
    }
}

void MirrorAudit::iniPhaseDone()
{
    filePhase = true;
    for (int m = 0; m < result.mirrors.size(); ++m) {
        MirrorFindings& mirror = result.mirrors[m];
        const bool candidate = mirror.state == MirrorFindings::Checked && mirror.missing.isEmpty() && !iniDigests.at(m).isEmpty();
        if (candidate && !signatureValid(m, iniDigests.at(m)))
            mirror.state = MirrorFindings::SignatureInvalid;
        if (!candidate || mirror.state != MirrorFindings::Checked)
            iniDigests[m].clear();
    }
    chooseReference();
    queueFileJobs();
    startJobs();
}

bool MirrorAudit::signatureValid(int mirror, const QByteArray& iniDigest)
{
    QFile file(savedPath(mirror, SignatureJob));
    QByteArray signature = file.open(QIODevice::ReadOnly) ? file.read(MaxSignatureSize) : QByteArray();
    try {
        return !signature.isEmpty()
               && verify_digest(key, reinterpret_cast<const unsigned char*>(iniDigest.constData()),
                                reinterpret_cast<unsigned char*>(signature.data()), static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        return false; // e.g. not the key's length
    }
}

// The validly signed product ini that the largest share of the pool's weight serves; on a
// tie the first in the pool's order. Mirrors with another one differ.
void MirrorAudit::chooseReference()
{
    QHash<QByteArray, int> weights;
    for (int m = 0; m < result.mirrors.size(); ++m) {
        if (!iniDigests.at(m).isEmpty())
            weights[iniDigests.at(m)] += result.mirrors.at(m).weight;
    }
    int best = -1;
    for (int m = 0; m < result.mirrors.size(); ++m) {
        if (!iniDigests.at(m).isEmpty() && (best < 0 || weights.value(iniDigests.at(m)) > weights.value(iniDigests.at(best))))
            best = m;
    }
    result.hasReference = best >= 0;
    if (best < 0 || !readReference(best))
        return;
    for (int m = 0; m < result.mirrors.size(); ++m) {
        if (!iniDigests.at(m).isEmpty() && iniDigests.at(m) != iniDigests.at(best))
            result.mirrors[m].state = MirrorFindings::IniDiffers;
    }
}

// Read by the updater's own reader against an empty installation, so every file it lists is
// one to download.
bool MirrorAudit::readReference(int mirror)
{
    const QString iniDir = settings.workDir + QStringLiteral("/reference");
    const QString emptyRoot = settings.workDir + QStringLiteral("/installation");
    if (!QDir().mkpath(iniDir) || !QDir().mkpath(emptyRoot)
        || !QFile::copy(savedPath(mirror, IniJob), iniDir + QLatin1Char('/') + iniName())) {
        localErrorText = QStringLiteral("cannot write into %1").arg(settings.workDir);
        return false;
    }
    Configuration configuration;
    configuration.clientType = settings.type;
    configuration.tempDir = iniDir;
    Configuration::setAppRootPath(emptyRoot);
    FileSpecifications lists;
    MakeDownloadReplaceListFunc reader(&configuration, lists);
    QString lastMessage;
    connect(&reader, &ASyncFunc::message, this, [&lastMessage](const QString& text) { lastMessage = text; });
    const bool readable = reader.run();
    Configuration::setAppRootPath(QString());
    if (!readable) {
        result.referenceProblem = lastMessage;
        return false;
    }
    files = lists.downloadList;
    result.files = int(files.size());
    for (const FileDownloadSpecification& file : files)
        result.bytes += quint64(qMax<qint64>(0, file.size));
    return true;
}

void MirrorAudit::queueFileJobs()
{
    if (!result.hasReference || !result.referenceProblem.isEmpty() || !localErrorText.isEmpty())
        return;
    QList<int> serving;
    for (int m = 0; m < result.mirrors.size(); ++m) {
        if (result.mirrors.at(m).state == MirrorFindings::Checked && !iniDigests.at(m).isEmpty())
            serving << m;
    }
    for (int f = 0; f < files.size(); ++f) {
        for (const int m : serving)
            queue.push_back({m, f});
    }
    Q_EMIT filesListed(int(queue.size()), result.bytes * quint64(serving.size()));
}
