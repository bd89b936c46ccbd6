#include "serverconfig.h"

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>

namespace {
constexpr int maxVersionListBytes = 511;
constexpr int maxNewsBytes = 4095;
constexpr int maxBannerBytes = 1024;

const QStringList channelGroups = {QStringLiteral("stable"), QStringLiteral("beta"), QStringLiteral("alpha")};
const QStringList channelKeys = {QStringLiteral("version"), QStringLiteral("label"), QStringLiteral("previous"),
                                 QStringLiteral("previous_label"), QStringLiteral("rollout")};

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
        return channelKeys.contains(key);
    if (group == QLatin1String("news"))
        return key == QLatin1String("text");
    if (group == QLatin1String("banner"))
        return key == QLatin1String("image") || key == QLatin1String("click");
    return false;
}

bool parseGroup(Parsed& parsed, const QString& line, int lineNumber, QString& current, QString& errorText)
{
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
    return true;
}

bool parseKey(Parsed& parsed, const QString& line, int lineNumber, const QString& current, QString& errorText)
{
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
    return true;
}

bool parseFile(Parsed& parsed, QString& errorText)
{
    QFile file(parsed.path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        errorText = QStringLiteral("cannot read %1: %2").arg(parsed.path, file.errorString());
        return false;
    }
    QString current;
    for (int lineNumber = 1; !file.atEnd(); ++lineNumber) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString line = QString(decoder.decode(file.readLine())).trimmed();
        if (decoder.hasError()) {
            errorText = parsed.at(lineNumber, QStringLiteral("invalid UTF-8"));
            return false;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        const bool group = line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'));
        if (group ? !parseGroup(parsed, line, lineNumber, current, errorText)
                  : !parseKey(parsed, line, lineNumber, current, errorText))
            return false;
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

// "version#label" or "version", checked; false with errorText.
bool versionEntry(const Parsed& parsed, const QString& channel, const Entry& version, const Entry& label,
                  const QString& versionKey, const QString& labelKey, QByteArray& entry, QString& errorText)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,9}$"));
    if (!number.match(version.value).hasMatch()) {
        errorText = parsed.at(version.line, QStringLiteral("[%1] %2 \"%3\" is not a decimal build number")
                                                .arg(channel, versionKey, version.value));
        return false;
    }
    if (label.value.contains(QLatin1Char(','))) {
        errorText = parsed.at(label.line, QStringLiteral("[%1] %2 must not contain a comma").arg(channel, labelKey));
        return false;
    }
    if (!toWire(parsed, label, QStringLiteral("[%1] %2").arg(channel, labelKey), errorText))
        return false;
    entry = (label.value.isEmpty() ? version.value : version.value + QLatin1Char('#') + label.value).toLatin1();
    return true;
}

// What a channel without a version must not have, and a rollout without a previous version.
bool checkChannelKeys(const Parsed& parsed, const QString& channel, QString& errorText)
{
    const bool hasVersion = !parsed.entry(channel, QStringLiteral("version")).value.isEmpty();
    const bool hasPrevious = !parsed.entry(channel, QStringLiteral("previous")).value.isEmpty();
    for (const QString& key : channelKeys) {
        const Entry entry = parsed.entry(channel, key);
        if (entry.value.isEmpty() || key == QLatin1String("version"))
            continue;
        if (!hasVersion) {
            errorText = parsed.at(entry.line, QStringLiteral("[%1] has a %2 but no version").arg(channel, key));
            return false;
        }
        if (key == QLatin1String("previous_label") && !hasPrevious) {
            errorText = parsed.at(entry.line, QStringLiteral("[%1] has a previous_label but no previous").arg(channel));
            return false;
        }
    }
    return true;
}

bool parseRollout(const Parsed& parsed, const QString& channel, int& rollout, QString& errorText)
{
    static const QRegularExpression percent(QStringLiteral("^([0-9]{1,3})%?$"));
    const Entry entry = parsed.entry(channel, QStringLiteral("rollout"));
    rollout = 100;
    if (entry.value.isEmpty())
        return true;
    const QRegularExpressionMatch match = percent.match(entry.value);
    rollout = match.hasMatch() ? match.captured(1).toInt() : -1;
    if (rollout < 0 || rollout > 100) {
        errorText = parsed.at(entry.line, QStringLiteral("[%1] rollout \"%2\" is not a percentage from 0 to 100")
                                              .arg(channel, entry.value));
        return false;
    }
    if (rollout < 100 && parsed.entry(channel, QStringLiteral("previous")).value.isEmpty()) {
        errorText = parsed.at(entry.line, QStringLiteral("[%1] rollout needs a previous version").arg(channel));
        return false;
    }
    return true;
}

bool buildChannel(const Parsed& parsed, const QString& channel, ServerConfig::Channel& result, QString& errorText)
{
    result = ServerConfig::Channel();
    const auto entry = [&](const char* key) { return parsed.entry(channel, QString::fromLatin1(key)); };
    if (!checkChannelKeys(parsed, channel, errorText))
        return false;
    if (entry("version").value.isEmpty())
        return true; // sent as an empty entry: keeps the later channels at their positions
    if (!versionEntry(parsed, channel, entry("version"), entry("label"), QStringLiteral("version"),
                      QStringLiteral("label"), result.entry, errorText)
        || !parseRollout(parsed, channel, result.rollout, errorText))
        return false;
    result.version = entry("version").value.toLatin1();
    if (entry("previous").value.isEmpty())
        return true;
    result.previous = entry("previous").value.toLatin1();
    return versionEntry(parsed, channel, entry("previous"), entry("previous_label"), QStringLiteral("previous"),
                        QStringLiteral("previous_label"), result.previousEntry, errorText);
}

// The line of the longest label, which a too long version list is blamed on.
int longestLabelLine(const Parsed& parsed)
{
    Entry longest;
    for (const QString& channel : channelGroups) {
        for (const char* key : {"label", "previous_label"}) {
            const Entry label = parsed.entry(channel, QString::fromLatin1(key));
            if (label.line > 0 && label.value.size() >= longest.value.size())
                longest = label;
        }
    }
    return longest.line;
}

bool buildVersionList(const Parsed& parsed, ServerConfig& config, QString& errorText)
{
    for (int c = 0; c < ServerConfig::ChannelCount; ++c) {
        if (!buildChannel(parsed, channelGroups.at(c), config.channels[c], errorText))
            return false;
    }
    for (int mask = 0; mask < (1 << ServerConfig::ChannelCount); ++mask) {
        QList<QByteArray> entries;
        for (int c = 0; c < ServerConfig::ChannelCount; ++c) {
            const ServerConfig::Channel& channel = config.channels[c];
            entries << ((mask & (1 << c)) || !channel.isStaged() ? channel.entry : channel.previousEntry);
        }
        QByteArray& list = config.versionLists[mask];
        list = entries.join(',');
        if (list.size() > maxVersionListBytes) {
            errorText = parsed.at(longestLabelLine(parsed), QStringLiteral("the version list has %1 bytes, at most %2 reach the client")
                                                                .arg(list.size())
                                                                .arg(maxVersionListBytes));
            return false;
        }
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

namespace {
// FNV-1a, then a finaliser that spreads neighbouring addresses over all cohorts. Fixed
// here, not Qt's seeded hash: a client keeps its cohort across restarts of the server.
quint64 stableHash(const QByteArray& bytes)
{
    quint64 h = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        h ^= quint8(c);
        h *= 0x100000001b3ULL;
    }
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
}

// An IPv4 client is the same client whether the socket saw it as IPv4 or IPv4-mapped IPv6.
QByteArray addressBytes(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        const char bytes[4] = {char(v4 >> 24), char(v4 >> 16), char(v4 >> 8), char(v4)};
        return QByteArray(bytes, 4);
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 16);
}

const char* const channelNames[ServerConfig::ChannelCount] = {"stable", "beta", "alpha"};
}

int rolloutCohort(const QHostAddress& address, const QByteArray& version)
{
    return int(stableHash(addressBytes(address) + '/' + version) % 100);
}

int ServerConfig::newVersionMask(const QHostAddress& address) const
{
    int mask = 0;
    for (int c = 0; c < ChannelCount; ++c) {
        const Channel& channel = channels[c];
        if (!channel.isStaged() || rolloutCohort(address, channel.version) < channel.rollout)
            mask |= 1 << c;
    }
    return mask;
}

QString ServerConfig::announcement() const
{
    QStringList parts;
    for (int c = 0; c < ChannelCount; ++c) {
        const Channel& channel = channels[c];
        const QString name = QString::fromLatin1(channelNames[c]);
        const QString version = QString::fromLatin1(channel.version);
        const QString previous = QString::fromLatin1(channel.previous);
        if (channel.version.isEmpty())
            parts << QStringLiteral("%1 nothing").arg(name);
        else if (!channel.isStaged())
            parts << QStringLiteral("%1 %2 to all").arg(name, version);
        else if (channel.rollout == 0)
            parts << QStringLiteral("%1 %2 to all, %3 paused at 0%").arg(name, previous, version);
        else
            parts << QStringLiteral("%1 %2 to %3% of addresses, %4 to the rest")
                         .arg(name, version, QString::number(channel.rollout), previous);
    }
    return parts.join(QStringLiteral("; "));
}

bool ServerConfig::splitsAddresses() const
{
    for (const Channel& channel : channels) {
        if (channel.isStaged() && channel.rollout > 0)
            return true;
    }
    return false;
}

QString ServerConfig::decisions(int mask) const
{
    QStringList parts;
    for (int c = 0; c < ChannelCount; ++c) {
        const Channel& channel = channels[c];
        if (channel.rollout == 0 || !channel.isStaged())
            continue;
        const bool isNew = mask & (1 << c);
        parts << QStringLiteral("%1: %2 %3")
                     .arg(QString::fromLatin1(channelNames[c]), isNew ? QStringLiteral("new") : QStringLiteral("previous"),
                          QString::fromLatin1(isNew ? channel.version : channel.previous));
    }
    return parts.join(QStringLiteral(", "));
}
