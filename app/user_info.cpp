#include "app/user_info.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QSaveFile>
#include <QtCore/QStandardPaths>
#include <QtCore/QXmlStreamReader>
#include <QtCore/QXmlStreamWriter>

#include "app/app_log.h"

namespace ambrel::app {

namespace {

std::optional<StringDictionary> readDict(QXmlStreamReader& reader)
{
    StringDictionary dictionary;
    std::optional<QString> key;
    while (reader.readNextStartElement()) {
        const auto name = reader.name();
        if (name == QLatin1String("key")) {
            key = reader.readElementText();
        } else if (!key) {
            return std::nullopt;  // a value without its key
        } else if (name == QLatin1String("string")) {
            dictionary.insert(*key, reader.readElementText());
            key.reset();
        } else {
            reader.skipCurrentElement();  // a value of another type
            key.reset();
        }
        if (reader.hasError()) {
            return std::nullopt;
        }
    }
    return dictionary;
}

}  // namespace

std::optional<StringDictionary> readPropertyList(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QXmlStreamReader reader(&file);
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("plist")) {
        return std::nullopt;
    }
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("dict")) {
        return std::nullopt;
    }
    auto dictionary = readDict(reader);
    if (!dictionary) {
        return std::nullopt;
    }
    // The rest of the document must be well formed too.
    while (!reader.atEnd()) {
        reader.readNext();
    }
    if (reader.hasError()) {
        return std::nullopt;
    }
    return dictionary;
}

bool writePropertyList(const QString& path, const StringDictionary& dictionary)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QXmlStreamWriter writer(&file);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(-1);  // one tab
    writer.writeStartDocument(QStringLiteral("1.0"));
    writer.writeDTD(
        QStringLiteral("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"));
    writer.writeStartElement(QStringLiteral("plist"));
    writer.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
    writer.writeStartElement(QStringLiteral("dict"));
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        writer.writeTextElement(QStringLiteral("key"), it.key());
        writer.writeTextElement(QStringLiteral("string"), it.value());
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return !writer.hasError() && file.commit();
}

QString userCacheFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

UserInfo::UserInfo(const QString& cacheFolder)
    : mFolder(cacheFolder + "/Ambrel"), mFilePath(mFolder + "/UserInfo.plist")
{
    // The cache folder may not exist yet on a new account; the base
    // directory rules ask for it to be created.
    QDir().mkpath(mFolder);
    if (auto loaded = readPropertyList(mFilePath)) {
        mDictionary = std::move(*loaded);
        return;
    }
    if (writePropertyList(mFilePath, mDictionary)) {
        appLog(QCoreApplication::translate("Log", "【日志】[配置文件] 创建文件成功(%1)").arg(mFilePath));
    } else {
        appLog(QCoreApplication::translate("Log", "【日志】[配置文件] 创建文件失败(%1)").arg(mFilePath));
    }
}

QString UserInfo::ReadData(const QString& key) const
{
    return mDictionary.value(key);
}

void UserInfo::WriteData(const QString& value, const QString& key)
{
    mDictionary.insert(key, value);
    // A failed write leaves the file as it was; the value still holds for
    // this run.
    static_cast<void>(writePropertyList(mFilePath, mDictionary));
}

}  // namespace ambrel::app
