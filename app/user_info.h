// The settings store: a dictionary of text keys to text values, kept in
// memory and in the XML property list "UserInfo.plist" in the folder Ambrel
// of the user's cache folder (~/.cache, or $XDG_CACHE_HOME).
//
// The application makes one store at start-up and hands it to whoever needs
// it; every write saves the whole dictionary at once, atomically.
#pragma once

#include <QtCore/QMap>
#include <QtCore/QString>

#include <optional>

#include "app/common/text_bool_value.h"  // the truth of a stored text

namespace ambrel::app {

// The keys the window stores, and what their values mean.
namespace settings_key {
// The output folder last confirmed in the folder panel.
inline const QString kSavePath = QStringLiteral("SavePathKey");
// "1": save beside each source; "0": save into the chosen folder.
inline const QString kSaveHeicPath = QStringLiteral("SaveHEICPathKey");
// "1": also write every other image a file holds (its other top-level images,
// auxiliary images and sequence frames); "0" or absent: the main picture only.
inline const QString kWriteAllImages = QStringLiteral("WriteAllImagesKey");
// The other options, each as its control shows it: the format word ("JPG",
// "PNG", "BMP", "JPEG2000", "TIFF", "WEBP"), the scale and quality percents ("10" to
// "100"), the longest side in pixels ("0": no limit), "1" or "0" for the
// boxes, the naming ("time", "original", "suffix") with its typed suffix, and
// what to do with an existing name ("new", "skip", "replace").
inline const QString kFormat = QStringLiteral("OutFormatKey");
inline const QString kScale = QStringLiteral("ImageSizeKey");
inline const QString kQuality = QStringLiteral("ImageQualityKey");
inline const QString kMaxSide = QStringLiteral("MaxSideKey");
inline const QString kKeepExif = QStringLiteral("ExifKey");
// "1" or absent: a JPEG keeps the photo's HDR gain map; "0": the picture alone.
inline const QString kKeepHdr = QStringLiteral("KeepHdrKey");
inline const QString kSixteenBits = QStringLiteral("SixteenBitsKey");
inline const QString kKeepDates = QStringLiteral("KeepDatesKey");
inline const QString kSubfolders = QStringLiteral("SubfoldersKey");
inline const QString kNaming = QStringLiteral("NamingKey");
inline const QString kNameSuffix = QStringLiteral("NameSuffixKey");
inline const QString kExisting = QStringLiteral("ExistingKey");
// "1": usage reports may be sent; "0": not; absent: not asked yet.
inline const QString kStatisticsConsent = QStringLiteral("StatisticsConsentKey");
}  // namespace settings_key

using StringDictionary = QMap<QString, QString>;

// Reads a property list whose root is a dict; its string values are taken,
// values of other types are skipped. nullopt when the file is missing or is
// not such a property list.
[[nodiscard]] std::optional<StringDictionary> readPropertyList(const QString& path);

// Writes the dictionary as an XML property list (version 1.0), atomically:
// a temporary file beside the target is renamed over it.
[[nodiscard]] bool writePropertyList(const QString& path, const StringDictionary& dictionary);

// The user's cache folder: the first generic cache location.
QString userCacheFolder();

class UserInfo
{
public:
    // Opens the store in "<cacheFolder>/Ambrel": creates the folder when
    // missing and loads the file; a missing or unreadable file is replaced by
    // an empty dictionary at once, with a log line.
    explicit UserInfo(const QString& cacheFolder);

    // The stored text, or the empty text when the key is absent.
    QString ReadData(const QString& key) const;
    // Stores the value and writes the whole file. A failed write is not
    // reported; the value stays in memory.
    void WriteData(const QString& value, const QString& key);

    const QString& filePath() const { return mFilePath; }
    const QString& folder() const { return mFolder; }

private:
    QString mFolder;
    QString mFilePath;
    StringDictionary mDictionary;
};

}  // namespace ambrel::app
