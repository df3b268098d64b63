#include "machine_identity.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QCryptographicHash>
#include <QtCore/QFile>
#include <QtCore/QXmlStreamReader>
#include <QtNetwork/QNetworkInterface>

namespace ambrel {

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

QByteArray primaryHardwareAddress()
{
    QByteArray other;
    for (const QNetworkInterface& candidate : QNetworkInterface::allInterfaces()) {
        if (candidate.flags().testFlag(QNetworkInterface::IsLoopBack)) {
            continue;
        }
        const QByteArray bytes = hardwareAddressBytes(candidate.hardwareAddress());
        if (bytes.isEmpty()) {
            continue;
        }
        if (candidate.type() == QNetworkInterface::Ethernet) {
            return bytes;
        }
        if (other.isEmpty()) {
            other = bytes;
        }
    }
    return other;
}

QString machineCodeFromHardwareAddress(const QByteArray& address)
{
    QStringList numbers;
    for (const char byte : address) {
        numbers.append(QString::number(static_cast<unsigned char>(byte)));
    }
    const QByteArray digest =
        QCryptographicHash::hash(numbers.join(u':').toUtf8(), QCryptographicHash::Md5).toHex();
    return QString::fromLatin1(digest.left(16));
}

QString machineCode()
{
    return machineCodeFromHardwareAddress(primaryHardwareAddress());
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

}  // namespace ambrel
