#include "serverconfig.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>

namespace {
constexpr int maxVersionListBytes = 511;
constexpr int maxNewsBytes = 4095;
constexpr int maxBannerBytes = 1024;

const QStringList channelGroups = {QStringLiteral("stable"), QStringLiteral("beta"), QStringLiteral("alpha")};

struct Entry
{
    QString value;
    int line = 0;
};

struct Group
{
    int line = 0; // of the [group] header
    QHash<QString, Entry> keys;
};

// Parsed file; every error names the file and the line it comes from.
struct Parsed
{
    QString path;
    QHash<QString, Group> groups;

    QString at(int line, const QString& text) const { return QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(text); }
    Entry entry(const QString& group, const QString& key) const { return groups.value(group).keys.value(key); }
};

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

bool knownGroup(const QString& group)
{
    return channelGroups.contains(group) || group == QLatin1String("news") || group == QLatin1String("banner");
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

bool parseFile(Parsed& parsed, QString& errorText)
{
    QFile file(parsed.path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        errorText = QStringLiteral("cannot read %1: %2").arg(parsed.path, file.errorString());
        return false;
    }
    QString current;
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString line = QString(decoder.decode(file.readLine())).trimmed();
        if (decoder.hasError()) {
            errorText = parsed.at(lineNumber, QStringLiteral("invalid UTF-8"));
            return false;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            current = line.mid(1, line.size() - 2).trimmed().toLower();
            if (!knownGroup(current)) {
                errorText = parsed.at(lineNumber, QStringLiteral("unknown group [%1]").arg(current));
                return false;
            }
            if (parsed.groups.contains(current)) {
                errorText = parsed.at(lineNumber, QStringLiteral("group [%1] repeated (first at line %2)")
                                                      .arg(current)
                                                      .arg(parsed.groups.value(current).line));
                return false;
            }
            parsed.groups[current].line = lineNumber;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            errorText = parsed.at(lineNumber, QStringLiteral("expected [group] or key = value"));
            return false;
        }
        if (current.isEmpty()) {
            errorText = parsed.at(lineNumber, QStringLiteral("key outside of a group"));
            return false;
        }
        const QString key = line.left(equals).trimmed().toLower();
        if (!allowedKey(current, key)) {
            errorText = parsed.at(lineNumber, QStringLiteral("unknown key \"%1\" in [%2]").arg(key, current));
            return false;
        }
        QHash<QString, Entry>& keys = parsed.groups[current].keys;
        if (keys.contains(key)) {
            errorText = parsed.at(lineNumber, QStringLiteral("key \"%1\" repeated in [%2] (first at line %3)")
                                                  .arg(key, current)
                                                  .arg(keys.value(key).line));
            return false;
        }
        keys.insert(key, Entry{unescape(line.mid(equals + 1).trimmed()), lineNumber});
    }
    return true;
}

// The text as it goes on the wire: 8-bit, no zero byte (the updater would cut it there).
bool toWire(const Parsed& parsed, const Entry& entry, const QString& what, QString& errorText)
{
    for (const QChar c : entry.value) {
        if (c.unicode() > 0xFF) {
            errorText = parsed.at(entry.line, QStringLiteral("%1 contains a character outside Latin-1").arg(what));
            return false;
        }
        if (c.unicode() == 0) {
            errorText = parsed.at(entry.line, QStringLiteral("%1 contains a zero character").arg(what));
            return false;
        }
    }
    return true;
}

bool buildVersionList(const Parsed& parsed, ServerConfig& config, QString& errorText)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,9}$"));
    QStringList entries;
    Entry longestLabel;
    for (const QString& channel : channelGroups) {
        const Entry version = parsed.entry(channel, QStringLiteral("version"));
        const Entry label = parsed.entry(channel, QStringLiteral("label"));
        if (version.value.isEmpty()) {
            if (!label.value.isEmpty()) {
                errorText = parsed.at(label.line, QStringLiteral("[%1] has a label but no version").arg(channel));
                return false;
            }
            entries << QString(); // keeps the later channels at their positions
            continue;
        }
        if (!number.match(version.value).hasMatch()) {
            errorText = parsed.at(version.line, QStringLiteral("[%1] version \"%2\" is not a decimal build number")
                                                    .arg(channel, version.value));
            return false;
        }
        if (label.value.contains(QLatin1Char(','))) {
            errorText = parsed.at(label.line, QStringLiteral("[%1] label must not contain a comma").arg(channel));
            return false;
        }
        if (!toWire(parsed, label, QStringLiteral("[%1] label").arg(channel), errorText))
            return false;
        if (label.value.size() >= longestLabel.value.size())
            longestLabel = label;
        entries << (label.value.isEmpty() ? version.value : version.value + QLatin1Char('#') + label.value);
    }
    config.versionList = entries.join(QLatin1Char(',')).toLatin1();
    if (config.versionList.size() > maxVersionListBytes) {
        errorText = parsed.at(longestLabel.line, QStringLiteral("the version list has %1 bytes, at most %2 reach the client")
                                                     .arg(config.versionList.size())
                                                     .arg(maxVersionListBytes));
        return false;
    }
    return true;
}

bool buildNews(const Parsed& parsed, ServerConfig& config, QString& errorText)
{
    const Entry text = parsed.entry(QStringLiteral("news"), QStringLiteral("text"));
    if (!toWire(parsed, text, QStringLiteral("[news] text"), errorText))
        return false;
    config.news = text.value.toLatin1();
    if (config.news.size() > maxNewsBytes) {
        errorText = parsed.at(text.line, QStringLiteral("[news] text has %1 bytes, at most %2 reach the client")
                                             .arg(config.news.size())
                                             .arg(maxNewsBytes));
        return false;
    }
    return true;
}

bool buildBanner(const Parsed& parsed, ServerConfig& config, QString& errorText)
{
    config.banner.clear();
    if (!parsed.groups.contains(QStringLiteral("banner")))
        return true;
    const Entry image = parsed.entry(QStringLiteral("banner"), QStringLiteral("image"));
    const Entry click = parsed.entry(QStringLiteral("banner"), QStringLiteral("click"));
    if (image.value.isEmpty() || click.value.isEmpty()) {
        errorText = parsed.at(parsed.groups.value(QStringLiteral("banner")).line,
                              QStringLiteral("[banner] needs both image and click"));
        return false;
    }
    for (const Entry& url : {image, click}) {
        if (url.value.contains(QLatin1Char(','))) {
            errorText = parsed.at(url.line, QStringLiteral("[banner] URLs must not contain a comma"));
            return false;
        }
        if (!toWire(parsed, url, QStringLiteral("[banner]"), errorText))
            return false;
    }
    config.banner = (image.value + QLatin1Char(',') + click.value).toLatin1();
    if (config.banner.size() > maxBannerBytes) {
        errorText = parsed.at(image.value.size() >= click.value.size() ? image.line : click.line,
                              QStringLiteral("[banner] reply has %1 bytes, at most %2 reach the client")
                                  .arg(config.banner.size())
                                  .arg(maxBannerBytes));
        return false;
    }
    return true;
}
}

bool ServerConfig::load(const QString& path, ServerConfig& config, QString& errorText)
{
    Parsed parsed;
    parsed.path = path;
    ServerConfig loaded;
    if (!parseFile(parsed, errorText) || !buildVersionList(parsed, loaded, errorText)
        || !buildNews(parsed, loaded, errorText) || !buildBanner(parsed, loaded, errorText))
        return false;
    config = loaded;
    return true;
}
