#include "serverconfig.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

namespace {
constexpr int maxVersionListBytes = 511;
constexpr int maxNewsBytes = 4095;
constexpr int maxBannerBytes = 1024;

const QStringList channelGroups = {QStringLiteral("stable"), QStringLiteral("beta"), QStringLiteral("alpha")};

using Group = QHash<QString, QString>;

QString unescape(const QString& value)
{
    QString result;
    result.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\') && i + 1 < value.size()) {
            const QChar next = value.at(++i);
            if (next == QLatin1Char('n'))
                result += QLatin1Char('\n');
            else if (next == QLatin1Char('t'))
                result += QLatin1Char('\t');
            else
                result += next;
        } else {
            result += c;
        }
    }
    return result;
}

bool allowedKey(const QString& group, const QString& key)
{
    if (channelGroups.contains(group))
        return key == QLatin1String("version") || key == QLatin1String("label");
    if (group == QLatin1String("news"))
        return key == QLatin1String("text");
    if (group == QLatin1String("banner"))
        return key == QLatin1String("image") || key == QLatin1String("click");
    return false;
}

bool parseFile(const QString& path, QHash<QString, Group>& groups, QString& errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        errorText = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QString current;
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const QString where = QStringLiteral("%1:%2: ").arg(path).arg(lineNumber);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            current = line.mid(1, line.size() - 2).trimmed().toLower();
            if (!channelGroups.contains(current) && current != QLatin1String("news")
                && current != QLatin1String("banner")) {
                errorText = where + QStringLiteral("unknown group [%1]").arg(current);
                return false;
            }
            groups[current];
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            errorText = where + QStringLiteral("expected [group] or key = value");
            return false;
        }
        if (current.isEmpty()) {
            errorText = where + QStringLiteral("key outside of a group");
            return false;
        }
        const QString key = line.left(equals).trimmed().toLower();
        if (!allowedKey(current, key)) {
            errorText = where + QStringLiteral("unknown key \"%1\" in [%2]").arg(key, current);
            return false;
        }
        groups[current].insert(key, unescape(line.mid(equals + 1).trimmed()));
    }
    return true;
}

bool toWire(const QString& text, const QString& what, QByteArray& bytes, QString& errorText)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) {
            errorText = QStringLiteral("%1 contains a character outside Latin-1").arg(what);
            return false;
        }
        if (c.unicode() == 0) {
            errorText = QStringLiteral("%1 contains a zero character").arg(what);
            return false;
        }
    }
    bytes = text.toLatin1();
    return true;
}

bool buildVersionList(const QHash<QString, Group>& groups, ServerConfig& config, QString& errorText)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,9}$"));
    QStringList entries;
    for (const QString& channel : channelGroups) {
        const Group group = groups.value(channel);
        const QString version = group.value(QStringLiteral("version"));
        const QString label = group.value(QStringLiteral("label"));
        if (version.isEmpty()) {
            if (!label.isEmpty()) {
                errorText = QStringLiteral("[%1] has a label but no version").arg(channel);
                return false;
            }
            entries << QString(); // keeps the later channels at their positions
            continue;
        }
        if (!number.match(version).hasMatch()) {
            errorText = QStringLiteral("[%1] version \"%2\" is not a decimal build number").arg(channel, version);
            return false;
        }
        if (label.contains(QLatin1Char(','))) {
            errorText = QStringLiteral("[%1] label must not contain a comma").arg(channel);
            return false;
        }
        entries << (label.isEmpty() ? version : version + QLatin1Char('#') + label);
    }
    if (!toWire(entries.join(QLatin1Char(',')), QStringLiteral("the version list"), config.versionList, errorText))
        return false;
    if (config.versionList.size() > maxVersionListBytes) {
        errorText = QStringLiteral("the version list has %1 bytes, at most %2 reach the client")
                        .arg(config.versionList.size())
                        .arg(maxVersionListBytes);
        return false;
    }
    return true;
}

bool buildNews(const QHash<QString, Group>& groups, ServerConfig& config, QString& errorText)
{
    if (!toWire(groups.value(QStringLiteral("news")).value(QStringLiteral("text")), QStringLiteral("[news] text"),
                config.news, errorText))
        return false;
    if (config.news.size() > maxNewsBytes) {
        errorText = QStringLiteral("[news] text has %1 bytes, at most %2 reach the client")
                        .arg(config.news.size())
                        .arg(maxNewsBytes);
        return false;
    }
    return true;
}

bool buildBanner(const QHash<QString, Group>& groups, ServerConfig& config, QString& errorText)
{
    config.banner.clear();
    if (!groups.contains(QStringLiteral("banner")))
        return true;
    const Group group = groups.value(QStringLiteral("banner"));
    const QString image = group.value(QStringLiteral("image"));
    const QString click = group.value(QStringLiteral("click"));
    if (image.isEmpty() || click.isEmpty()) {
        errorText = QStringLiteral("[banner] needs both image and click");
        return false;
    }
    if (image.contains(QLatin1Char(',')) || click.contains(QLatin1Char(','))) {
        errorText = QStringLiteral("[banner] URLs must not contain a comma");
        return false;
    }
    if (!toWire(image + QLatin1Char(',') + click, QStringLiteral("[banner]"), config.banner, errorText))
        return false;
    if (config.banner.size() > maxBannerBytes) {
        errorText = QStringLiteral("[banner] reply has %1 bytes, at most %2 reach the client")
                        .arg(config.banner.size())
                        .arg(maxBannerBytes);
        return false;
    }
    return true;
}
}

bool ServerConfig::load(const QString& path, ServerConfig& config, QString& errorText)
{
    QHash<QString, Group> groups;
    ServerConfig loaded;
    if (!parseFile(path, groups, errorText) || !buildVersionList(groups, loaded, errorText)
        || !buildNews(groups, loaded, errorText) || !buildBanner(groups, loaded, errorText))
        return false;
    config = loaded;
    return true;
}
