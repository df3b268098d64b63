// The abstract HEIF reader.
//
// A caller creates a reader, calls initialize() with a file name or a stream,
// then asks about the file's contexts: the root 'meta' box is one meta context
// whose items are addressed by item id; each track of 'moov' is a track
// context whose items are its samples, addressed by 0-based sample index.
// Failures are thrown as FileReaderException.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/fourcc.h"
#include "heiclib/reader/file_reader_exception.h"
#include "heiclib/reader/reader_types.h"

namespace ambrel::heif {

class ImageFileReaderInterface
{
public:
    virtual ~ImageFileReaderInterface() = default;

    virtual void initialize(const std::string& fileName) = 0;
    virtual void initialize(std::istream& input) = 0;
    virtual void close() = 0;

    virtual std::string getMajorBrand() const = 0;
    virtual std::uint32_t getMinorVersion() const = 0;
    virtual std::vector<std::string> getCompatibleBrands() const = 0;

    virtual const FileInformation& getFileInformation() const;

    virtual std::uint32_t getDisplayWidth(ContextId contextId) const = 0;
    virtual std::uint32_t getDisplayHeight(ContextId contextId) const = 0;
    virtual std::uint32_t getWidth(ContextId contextId, ItemId itemId) const = 0;
    virtual std::uint32_t getHeight(ContextId contextId, ItemId itemId) const = 0;
    virtual std::vector<std::int32_t> getMatrix() const = 0;
    virtual float getPlaybackDurationInSecs(ContextId contextId) const = 0;
    virtual void setForcedTimedPlayback(ContextId contextId, float framesPerSecond) = 0;
    virtual void setForcedLoopPlayback(ContextId contextId, bool loop) = 0;

    virtual void getItemListByType(ContextId contextId, const std::string& itemType, IdVector& itemIds) const = 0;
    virtual std::string getItemType(ContextId contextId, ItemId itemId) const = 0;
    virtual void getReferencedFromItemListByType(ContextId contextId, ItemId fromItemId, FourCCInt referenceType,
                                                 IdVector& itemIds) const = 0;
    virtual void getReferencedToItemListByType(ContextId contextId, ItemId toItemId, FourCCInt referenceType,
                                               IdVector& itemIds) const = 0;
    virtual ItemId getCoverImageItemId(ContextId contextId) const = 0;

    virtual void getItemData(ContextId contextId, ItemId itemId, DataVector& itemData) = 0;
    virtual OverlayItem getItemIovl(ContextId contextId, ItemId itemId) const = 0;
    virtual GridItem getItemGrid(ContextId contextId, ItemId itemId) const = 0;

    virtual bool getPropertyImir(ContextId contextId, PropertyIndex index) const = 0;
    virtual std::uint32_t getPropertyIrot(ContextId contextId, PropertyIndex index) const = 0;
    virtual AuxiliaryTypeInfo getPropertyAuxc(ContextId contextId, PropertyIndex index) const = 0;
    virtual RelativeLocationInfo getPropertyRloc(ContextId contextId, PropertyIndex index) const = 0;
    virtual std::uint16_t getPropertyLsel(ContextId contextId, PropertyIndex index) const = 0;
    virtual std::uint16_t getPropertyTols(ContextId contextId, PropertyIndex index) const = 0;
    // In a track context the index is a sample description index.
    virtual CleanApertureInfo getPropertyClap(ContextId contextId, PropertyIndex index) const = 0;
    virtual std::vector<ItemPropertyInfo> getItemProperties(ContextId contextId, ItemId itemId) const = 0;

    virtual void getItemDataWithDecoderParameters(ContextId contextId, ItemId itemId, DataVector& itemData) = 0;
    virtual DataVector getItemProtectionScheme(ContextId contextId, ItemId itemId) const = 0;

    virtual void getItemTimestamps(ContextId contextId, std::map<Timestamp, ItemId>& timestamps) const = 0;
    virtual void getTimestampsOfItem(ContextId contextId, ItemId itemId, std::vector<Timestamp>& timestamps) const = 0;
    virtual void getItemsInDecodingOrder(ContextId contextId,
                                         std::vector<std::pair<ItemId, Timestamp>>& decodingOrder) const = 0;
    virtual void getItemDecodeDependencies(ContextId contextId, ItemId itemId, IdVector& dependencies) const = 0;

    virtual std::string getDecoderCodeType(ContextId contextId, ItemId itemId) const = 0;
    virtual void getDecoderParameterSets(ContextId contextId, ItemId itemId, ParameterSetMap& parameterSets) const = 0;

    virtual void setFileInformation(const FileInformation& fileInformation);

protected:
    FileInformation mFileInfo;
};

}  // namespace ambrel::heif
