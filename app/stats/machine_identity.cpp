#include "app/stats/machine_identity.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QXmlStreamReader>

#include <algorithm>
#include <tuple>
#include <vector>

namespace ambrel::app {

namespace {

constexpr int kHardwareAddressBytes = 6;

// "00:1C:42:01:02:FF" as six bytes; empty when it is not such a text or is
// all zeros.
QByteArray hardwareAddressBytes(const QString& text)
{
    const QStringList parts = text.split(u':');
    if (parts.size() != kHardwareAddressBytes) {
        return {};
    }
    QByteArray bytes;
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 16);
        if (!ok || part.size() != 2) {
            return {};
        }
        bytes.append(static_cast<char>(value));
    }
    if (bytes.count('\0') == kHardwareAddressBytes) {
        return {};
    }
    return bytes;
}

// The first line of a small sysfs file, trimmed; empty when unreadable.
QString firstLine(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromLatin1(file.readLine(256)).trimmed();
}

// The unquoted value of an os-release assignment: "12", '12' or 12.
QString osReleaseValue(QStringView raw)
{
    raw = raw.trimmed();
    if (raw.size() >= 2 && (raw.front() == u'"' || raw.front() == u'\'') && raw.back() == raw.front()) {
        const bool doubleQuoted = raw.front() == u'"';
        raw = raw.mid(1, raw.size() - 2);
        QString value;
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (doubleQuoted && raw[i] == u'\\' && i + 1 < raw.size()) {
                ++i;
            }
            value.append(raw[i]);
        }
        return value;
    }
    return raw.toString();
}

}  // namespace

QByteArray primaryHardwareAddress(const QString& netClassRoot)
{
    struct Candidate
    {
        bool wireless;
        QString name;
        QByteArray address;
    };
    std::vector<Candidate> candidates;
    const QDir root(netClassRoot);
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
        const QString folder = root.filePath(name);
        if (!QFileInfo::exists(folder + QStringLiteral("/device"))) {
            continue;  // a virtual interface
        }
        if (firstLine(folder + QStringLiteral("/type")) != QLatin1String("1")) {
            continue;  // not an Ethernet-style (six-byte) address
        }
        const QByteArray address = hardwareAddressBytes(firstLine(folder + QStringLiteral("/address")));
        if (address.isEmpty()) {
            continue;
        }
        const bool wireless = QFileInfo::exists(folder + QStringLiteral("/wireless")) ||
                              QFileInfo::exists(folder + QStringLiteral("/phy80211"));
        candidates.push_back({wireless, name, address});
    }
    const auto first = std::min_element(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
        return std::tie(a.wireless, a.name) < std::tie(b.wireless, b.name);
    });
    return first == candidates.end() ? QByteArray() : first->address;
}

QString machineCodeFromHardwareAddress(const QByteArray& address)
{
    QStringList numbers;
    for (const char byte : address) {
        numbers.append(QString::number(static_cast<unsigned char>(byte)));
    }
    const QByteArray digest = QCryptographicHash::hash(numbers.join(u':').toUtf8(), QCryptographicHash::Md5).toHex();
    return QString::fromLatin1(digest.left(16));
}

QString machineCode(const QString& netClassRoot, const QString& machineIdFile)
{
    const QByteArray address = primaryHardwareAddress(netClassRoot);
    if (!address.isEmpty()) {
        return machineCodeFromHardwareAddress(address);
    }
    const QByteArray digest =
        QCryptographicHash::hash(firstLine(machineIdFile).toUtf8(), QCryptographicHash::Md5).toHex();
    return QString::fromLatin1(digest.left(16));
}

QStringList defaultConfigurationFiles()
{
    QStringList files{QStringLiteral(":/Configuration.plist")};
    if (QCoreApplication::instance() != nullptr) {
        files.append(QCoreApplication::applicationDirPath() + "/../share/ambrel/Configuration.plist");
    }
    return files;
}

QString propertyListString(const QString& path, const QString& key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QXmlStreamReader reader(&file);
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("plist")) {
        return {};
    }
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("dict")) {
        return {};
    }
    bool keyMatches = false;
    while (reader.readNextStartElement()) {
        if (reader.name() == QLatin1String("key")) {
            keyMatches = reader.readElementText() == key;
            continue;
        }
        if (keyMatches && reader.name() == QLatin1String("string")) {
            const QString value = reader.readElementText();
            return reader.hasError() ? QString() : value;
        }
        keyMatches = false;
        reader.skipCurrentElement();
    }
    return {};
}

QString channelCode(const SettingsAccess& settings, const QStringList& configurationFiles)
{
    QString code = settings.read(kPartnerKey);
    for (qsizetype i = 0; code.isEmpty() && i < configurationFiles.size(); ++i) {
        code = propertyListString(configurationFiles[i], kPartnerKey);
    }
    if (code.isEmpty()) {
        code = QStringLiteral("0");
    }
    settings.write(code, kPartnerKey);
    return code;
}

QString operatingSystemText(const QStringList& osReleaseFiles)
{
    for (const QString& path : osReleaseFiles) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            continue;
        }
        QString versionId;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.startsWith(QLatin1String("VERSION_ID="))) {
                versionId = osReleaseValue(QStringView(line).mid(11));
            }
        }
        return versionId.isEmpty() ? QStringLiteral("Linux") : QStringLiteral("Linux-%1").arg(versionId);
    }
    return QStringLiteral("Linux");
}

}  // namespace ambrel::app
