#include "ui/changelogviewer.h"

#include "core/configuration.h"
#include "core/qrandcompat.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int requestTimeoutMs = 2000;
constexpr int defaultWidth = 617;
constexpr int defaultHeight = 500;
}

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget* parent, const QString& version)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->requestRemote(version);
    }
    m_instance->setVisible(true);
    m_instance->raise();
    m_instance->activateWindow();
}

ChangeLogViewer::ChangeLogViewer(QWidget* parent)
    : QDialog(parent, Qt::WindowSystemMenuHint)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    textEdit = new QTextEdit(this);
    textEdit->setReadOnly(true);
    textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont font = textEdit->font();
    font.setStyleHint(QFont::TypeWriter);
    font.setFamily(font.defaultFamily());
    textEdit->setFont(font);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textEdit);
    layout->addWidget(buttons);
    resize(defaultWidth, defaultHeight);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::requestRemote(QString requestedVersion)
{
    if (pendingReply)
        return;
    textEdit->setPlainText(tr("Loading..."));
    if (!requestedVersion.isEmpty())
        version = requestedVersion;

    const QString base = getRemoteUrl();
    if (base.isEmpty()) {
        textEdit->setPlainText(tr("Failed to load changelog."));
        return;
    }
    QString url = base;
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    url += version + QStringLiteral("/changelog_client.txt");

    if (!networkManager) {
        // The mirrors' own transport and update.ini's proxy; a moved document is a failed
        // source, as with the downloads.
        auto* manager = new HttpAccessManager(this);
        const QSettings settings(Configuration::updateIniPath(), QSettings::IniFormat);
        QNetworkProxy proxy;
        if (HttpAccessManager::proxyFromSetting(settings.value(QStringLiteral("update/proxy")).toString(), proxy))
            manager->setProxy(proxy);
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        networkManager = manager;
    }
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(HttpAccessManager::MaximumBodySizeAttribute, maximumChangeLogBytes);
    pendingReply = networkManager->get(request);
    connect(pendingReply.data(), &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);
    // A source that streams without end would fill the memory before the time-out.
    connect(pendingReply.data(), &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > maximumChangeLogBytes && pendingReply)
            pendingReply->abort();
    });

    if (!timeoutTimer) {
        timeoutTimer = new QTimer(this);
        timeoutTimer->setSingleShot(true);
        timeoutTimer->setInterval(requestTimeoutMs);
        connect(timeoutTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    timeoutTimer->start();
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (urlsLoaded)
        return getRandomMirror();
    urlsLoaded = true;

    const QString root = Configuration::getAppRootPath();
    const QString updateIni = root + QStringLiteral("/update.ini");
    if (QFile::exists(updateIni)) {
        QSettings settings(updateIni, QSettings::IniFormat);
        const QString alpha = settings.value(QStringLiteral("Channel/alpha")).toString();
        if (!alpha.isEmpty())
            return alpha;
    }
    const QString mirrorsIni = root + QStringLiteral("/mirrors.ini");
    if (!QFile::exists(mirrorsIni))
        return QString();
    QSettings settings(mirrorsIni, QSettings::IniFormat);
    QStringList names;
    const QList<int> present = Mirrors::presentEntries(settings);
    settings.beginReadArray(QStringLiteral("mirrors"));
    for (const int i : present) {
        settings.setArrayIndex(i);
        names.append(settings.value(QStringLiteral("mirror")).toString());
    }
    settings.endArray();
    for (const QString& name : std::as_const(names)) {
        const QString url = settings.value(name + QStringLiteral("/url")).toString();
        if (!url.isEmpty())
            mirrorUrls.append(url);
    }
    return getRandomMirror();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (mirrorUrls.isEmpty())
        return QString();
    return mirrorUrls.takeAt(qrandCompat() % mirrorUrls.size());
}

void ChangeLogViewer::onRequestFinished()
{
    if (!pendingReply)
        return;
    QNetworkReply* reply = pendingReply;
    pendingReply = nullptr;
    reply->deleteLater();
    if (reply->error() == QNetworkReply::NoError && reply->bytesAvailable() <= maximumChangeLogBytes) {
        QTextStream stream(reply);
        const QString text = stream.readAll();
        if (!text.contains(QLatin1String("document has moved"))) {
            load(text);
            return;
        }
    }
    requestRemote(QString());
}

void ChangeLogViewer::onRequestTimeout()
{
    if (pendingReply)
        pendingReply->abort();
}

void ChangeLogViewer::load(const QString& text)
{
    textEdit->setPlainText(text);
    if (text.isEmpty())
        return;
    const QFontMetrics metrics(textEdit->font());
    int widest = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines)
        widest = qMax(widest, metrics.horizontalAdvance(line));
    int w = widest == 0 ? defaultWidth : widest + 50;
    int h = defaultHeight;
    const QScreen* current = screen();
    const QRect available = current ? current->availableGeometry() : QRect();
    if (available.isValid()) {
        w = qMin(w, available.width());
        h = qMin(available.height(), defaultHeight);
    }
    resize(w, h);
}
