// Opening a file, the common checks, and the queries answered from the
// contexts' tables.
#include "heiclib/reader/hevc_image_file_reader.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "heiclib/box_types.h"
#include "heiclib/boxes/movie_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/ids.h"
#include "heiclib/log.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void fail(std::int32_t code, std::string message = {})
{
    throw FileReaderException(code, std::move(message));
}

// A code from the file as messages quote it: bytes outside printable ASCII
// as \xNN.
std::string printable(const std::string& code)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (const char c : code) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
        }
    }
    return text;
}

std::string typeText(FourCCInt type)
{
    return printable(type.getString());
}

}  // namespace

HevcImageFileReader::HevcImageFileReader() = default;
HevcImageFileReader::~HevcImageFileReader() = default;

// ---------------------------------------------------------------------------
// Opening

void HevcImageFileReader::initialize(const std::string& fileName)
{
    // A FIFO or a device would block the open or never end; a folder has no
    // bytes. Only regular files are read.
    std::error_code statusError;
    const auto status = std::filesystem::status(fileName, statusError);
    if (!statusError && status.type() != std::filesystem::file_type::regular) {
        fail(FileReaderException::OpenFailed, "Unable to open input file '" + fileName + "': not a regular file");
    }
    auto file = std::make_unique<std::ifstream>(fileName, std::ios::binary);
    if (!file->is_open()) {
        fail(FileReaderException::OpenFailed, "Unable to open input file '" + fileName + "'");
    }
    mOwnStream = std::move(file);
    readStream(*mOwnStream);
}

void HevcImageFileReader::initialize(std::istream& input)
{
    mOwnStream.reset();
    readStream(input);
}

void HevcImageFileReader::close()
{
    if (mOwnStream) {
        mOwnStream->close();
    }
    mState = State::Uninitialized;
}

void HevcImageFileReader::charge(std::uint64_t bytes, const std::string& what)
{
    try {
        mBudget.charge(bytes, what);
    } catch (const MemoryBudgetExceeded& e) {
        fail(FileReaderException::ReadFailed, e.what());
    }
}

void HevcImageFileReader::readStream(std::istream& input)
{
    mState = State::Initializing;
    mInput = &input;
    mBudget.reset(mBudgetLimit);
    measureInput(input);

    bool ftypFound = false;
    bool metaFound = false;
    bool moovFound = false;
    std::exception_ptr movieError;
    std::uint32_t boxCount = 0;

    while (input.peek() != std::char_traits<char>::eof()) {
        FourCCInt type;
        BitStream bytes;
        readRootBox(bytes, type);

        try {
            if (type == boxtype::kFtyp) {
                if (ftypFound) {
                    fail(FileReaderException::ReadFailed, "Multiple ftyp boxes");
                }
                ftypFound = true;
                mFileTypeBox = FileTypeBox();
                mFileTypeBox.parseBox(bytes);
                checkBrands(mFileTypeBox);
            } else if (type == boxtype::kMeta) {
                if (metaFound) {
                    fail(FileReaderException::ReadFailed, "Multiple meta boxes");
                }
                metaFound = true;
                const ContextId contextId = createId(1000);
                auto meta = std::make_unique<MetaBox>();
                meta->parseBox(bytes);
                mMetaBoxes[contextId] = std::move(meta);
                mRootMetaContextId = contextId;
                mHasRootMeta = true;
                buildMetaContext(contextId);
            } else if (type == boxtype::kMoov) {
                if (moovFound) {
                    fail(FileReaderException::ReadFailed, "Multiple moov boxes");
                }
                moovFound = true;
                readMovie(bytes, movieError);
            } else if (type == boxtype::kMdat || type == boxtype::kFree) {
                // nothing to keep
            } else {
                log::warning("Skipping root level box of unknown type '" + typeText(type) + "'");
            }
        } catch (const FileReaderException&) {
            throw;
        } catch (const std::exception& e) {
            // The box model fails by standard exceptions; the reader's callers
            // get one error type.
            fail(FileReaderException::ReadFailed, "Failed to parse '" + type.getString() + "' box: " + e.what());
        }

        if (boxCount++ > limits::kMaxRootBoxes - 1) {
            break;
        }
    }

    finishRootWalk(input, movieError);
    setFileFeatures();
    mState = State::Ready;
}

// The input's size bounds every box and item read from it.
void HevcImageFileReader::measureInput(std::istream& input)
{
    input.clear();
    const std::streampos start = input.tellg();
    input.seekg(0, std::ios::end);
    const std::streampos end = input.tellg();
    input.seekg(start);
    if (start < 0 || end < 0 || !input) {
        fail(FileReaderException::ReadFailed, "The input stream cannot be sized.");
    }
    mInputSize = static_cast<std::uint64_t>(end);
    if (mInputSize > std::uint64_t(std::numeric_limits<std::int32_t>::max())) {
        fail(FileReaderException::ReadFailed, "Files of 2 GiB or more are not supported.");
    }
}

void HevcImageFileReader::finishRootWalk(std::istream& input, const std::exception_ptr& movieError) const
{
    if ((input.fail() || input.bad()) && !input.eof()) {
        fail(FileReaderException::ReadFailed);
    }
    input.clear();

    // The movie part never fails the images of a file; a file that has
    // nothing but an unreadable movie reports why.
    if (movieError && !mHasRootMeta && mTrackContexts.empty()) {
        try {
            std::rethrow_exception(movieError);
        } catch (const FileReaderException&) {
            throw;
        } catch (const std::exception& e) {
            fail(FileReaderException::ReadFailed, std::string("Failed to parse 'moov' box: ") + e.what());
        }
    }
}

void HevcImageFileReader::readMovie(BitStream& bytes, std::exception_ptr& firstError)
{
    MovieBox moov;
    try {
        moov.parseBox(bytes);
    } catch (const std::exception& e) {
        log::warning(std::string("Skipping the movie box, it cannot be read: ") + e.what());
        mDroppedTracks.push_back({std::nullopt, std::string("the movie box cannot be read: ") + e.what()});
        if (!firstError) {
            firstError = std::current_exception();
        }
        return;
    }
    if (!moov.getTrackErrors().empty() && !firstError) {
        firstError = std::make_exception_ptr(std::runtime_error(moov.getTrackErrors().front()));
    }
    for (const auto& error : moov.getTrackErrors()) {
        mDroppedTracks.push_back({std::nullopt, "it cannot be read: " + error});
    }
    for (const auto& [trackId, handler] : moov.getOtherMediaTracks()) {
        mDroppedTracks.push_back({trackId, "its media are not pictures (handler '" + printable(handler) + "')"});
    }
    buildTrackContexts(moov, firstError);
    const auto& matrix = moov.getMovieHeaderBox().getMatrix();
    mMatrix.assign(matrix.begin(), matrix.end());
}

void HevcImageFileReader::readRootBox(BitStream& boxBytes, FourCCInt& type)
{
    std::istream& input = *mInput;
    const auto position = static_cast<std::uint64_t>(input.tellg());

    auto readBigEndian = [&input](int byteCount) {
        std::uint64_t value = 0;
        for (int i = 0; i < byteCount; ++i) {
            const int c = input.get();
            if (!input.good()) {
                fail(FileReaderException::ReadFailed);
            }
            value = (value << 8) | static_cast<std::uint8_t>(c);
        }
        return value;
    };

    std::uint64_t size = readBigEndian(4);
    type = FourCCInt(static_cast<std::uint32_t>(readBigEndian(4)));
    std::uint64_t headerSize = 8;
    if (size == 1) {
        size = readBigEndian(8);
        headerSize = 16;
    } else if (size == 0) {
        // The last box of a file may run to its end.
        size = mInputSize - position;
    }
    if (size < headerSize) {
        fail(FileReaderException::ReadFailed, "Root box '" + typeText(type) + "' size (" + std::to_string(size) +
                                                  " bytes) smaller than its header (" + std::to_string(headerSize) +
                                                  " bytes)");
    }
    input.seekg(static_cast<std::streamoff>(position));

    if (type == boxtype::kMdat) {
        // Item and sample bytes are read on demand; only look at the header.
        if (size >= 16) {
            char head[16];
            input.read(head, sizeof head);
            if (!input) {
                fail(FileReaderException::ReadFailed);
            }
        }
        // Saturate rather than wrap: an mdat that claims more than the file
        // holds ends the walk at the end of the file.
        input.seekg(static_cast<std::streamoff>(std::min(position + size, mInputSize)));
        return;
    }

    if (size > mInputSize - position) {
        // A truncated box, or a 64-bit size beyond the file: never allocate
        // more than the input holds, never cut the size to fewer bits.
        fail(FileReaderException::ReadFailed, "Box '" + typeText(type) + "' of " + std::to_string(size) +
                                                  " bytes reaches past the end of the file (" +
                                                  std::to_string(mInputSize - position) + " bytes left)");
    }
    if (type != boxtype::kFtyp && type != boxtype::kMeta && type != boxtype::kMoov) {
        // Nothing else is parsed: skip it unread ('free', 'skip', unknown
        // boxes), as large as it may claim to be.
        input.seekg(static_cast<std::streamoff>(std::min(position + size, mInputSize)));
        return;
    }
    if (size > limits::kMaxRootBoxBytes) {
        fail(FileReaderException::ReadFailed,
             "Box '" + typeText(type) + "' of " + std::to_string(size) + " bytes is more than the limit of " +
                 std::to_string(limits::kMaxRootBoxBytes) + " bytes for a root box read into memory");
    }
    charge(size, "Root box '" + typeText(type) + "'");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    input.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (!input) {
        fail(FileReaderException::ReadFailed);
    }
    boxBytes = BitStream(std::move(bytes));
    boxBytes.setMemoryBudget(&mBudget);
}

void HevcImageFileReader::checkBrands(const FileTypeBox& ftyp) const
{
    struct Combination
    {
        const char* group;
        const char* brand;
        const char* text;
    };
    static const Combination kCombinations[] = {
        {"msf1", "hevc", "[msf1/hevc] HEVC image sequence"},
        {"msf1", "hevm", "[msf1/hevm] L-HEVC image sequence"},
        {"msf1", "hevs", "[msf1/hevs] L-HEVC image sequence"},
        {"msf1", "avcs", "[msf1/avcs] AVC image sequence"},
        {"mif1", "heic", "[mif1/heic] HEVC image and image collection"},
        {"mif1", "heix", "[mif1/heix] HEVC image and image collection"},
        {"mif1", "heim", "[mif1/heim] L-HEVC image and image collection"},
        {"mif1", "heis", "[mif1/heis] L-HEVC image and image collection"},
        {"mif1", "avic", "[mif1/avic] AVC image and image collection"},
    };
    std::set<std::string> found;
    for (const auto& c : kCombinations) {
        if (ftyp.checkCompatibleBrand(c.group) && ftyp.checkCompatibleBrand(c.brand)) {
            found.insert(c.text);
        }
    }
    // A structural brand is enough: what the file's items are coded with
    // decides whether it can be shown (a 'mif1' + 'miaf' file of HEVC images
    // is read; one of AV1 or JPEG images is refused by its users, naming the
    // coding), not a codec brand the writer may leave out.
    static const char* const kStructuralBrands[] = {"mif1", "msf1", "miaf"};
    for (const char* brand : kStructuralBrands) {
        if (found.empty() && ftyp.checkCompatibleBrand(brand)) {
            found.insert(std::string("[") + brand + "] structural brand");
        }
    }
    if (found.empty()) {
        fail(FileReaderException::ReadFailed, "No compatible brands in file");
    }
    log::info("Compatible brands found:");
    for (const auto& text : found) {
        log::info(" " + text);
    }
}

void HevcImageFileReader::setFileFeatures()
{
    mFileInfo.fileId = createId(0);
    if (mHasRootMeta && mContextInfo.count(mRootMetaContextId) != 0) {
        mFileInfo.features.insert(FileFeature::HasRootLevelMetaBox);
        const MetaBoxInformation& meta = mFileInfo.rootMetaBoxInformation;
        if (meta.features.count(MetaBoxFeature::HasCoverImage) != 0) {
            mFileInfo.features.insert(FileFeature::HasCoverImage);
        }
        IdVector masters;
        getItemListByType(mRootMetaContextId, "master", masters);
        if (masters.size() == 1) {
            mFileInfo.features.insert(FileFeature::HasSingleImage);
        } else if (masters.size() > 1) {
            mFileInfo.features.insert(FileFeature::HasImageCollection);
        }
    }
    for (const auto& [trackId, track] : mFileInfo.trackInformation) {
        if (track.features.count(TrackFeature::IsMasterImageSequence) != 0) {
            mFileInfo.features.insert(FileFeature::HasImageSequence);
        }
        if (track.features.count(TrackFeature::HasAlternatives) != 0) {
            mFileInfo.features.insert(FileFeature::HasAlternateTracks);
        }
    }
}

// ---------------------------------------------------------------------------
// Checks shared by the queries

void HevcImageFileReader::checkInitialized() const
{
    if (mState == State::Uninitialized) {
        fail(FileReaderException::NotInitialized);
    }
}

const ContextInfo& HevcImageFileReader::contextInfo(ContextId contextId) const
{
    const auto it = mContextInfo.find(contextId);
    if (it == mContextInfo.end()) {
        fail(FileReaderException::InvalidContextId);
    }
    return it->second;
}

const MetaBox& HevcImageFileReader::metaBox(ContextId contextId) const
{
    if (contextInfo(contextId).contextType != ContextKind::Meta) {
        fail(FileReaderException::InvalidContextId);
    }
    const auto it = mMetaBoxes.find(contextId);
    if (it == mMetaBoxes.end()) {
        fail(FileReaderException::InvalidContextId);
    }
    return *it->second;
}

const HevcImageFileReader::MetaContext& HevcImageFileReader::metaContext(ContextId contextId) const
{
    if (contextInfo(contextId).contextType != ContextKind::Meta) {
        fail(FileReaderException::InvalidContextId);
    }
    const auto it = mMetaContexts.find(contextId);
    if (it == mMetaContexts.end()) {
        fail(FileReaderException::InvalidContextId);
    }
    return it->second;
}

const HevcImageFileReader::TrackContext& HevcImageFileReader::trackContext(ContextId contextId) const
{
    if (contextInfo(contextId).contextType != ContextKind::Track) {
        fail(FileReaderException::InvalidContextId);
    }
    const auto it = mTrackContexts.find(contextId);
    if (it == mTrackContexts.end()) {
        fail(FileReaderException::InvalidContextId);
    }
    return it->second;
}

// ---------------------------------------------------------------------------
// Brands and sizes

std::string HevcImageFileReader::getMajorBrand() const
{
    checkInitialized();
    return mFileTypeBox.getMajorBrand();
}

std::uint32_t HevcImageFileReader::getMinorVersion() const
{
    checkInitialized();
    return mFileTypeBox.getMinorVersion();
}

std::vector<std::string> HevcImageFileReader::getCompatibleBrands() const
{
    checkInitialized();
    return mFileTypeBox.getCompatibleBrands();
}

std::vector<std::int32_t> HevcImageFileReader::getMatrix() const
{
    return mMatrix;
}

std::uint32_t HevcImageFileReader::getDisplayWidth(ContextId contextId) const
{
    checkInitialized();
    return trackContext(contextId).displayWidth;
}

std::uint32_t HevcImageFileReader::getDisplayHeight(ContextId contextId) const
{
    checkInitialized();
    return trackContext(contextId).displayHeight;
}

std::uint32_t HevcImageFileReader::getWidth(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    if (contextInfo(contextId).contextType == ContextKind::Meta) {
        return metaContext(contextId).images.at(itemId).width;
    }
    return trackContext(contextId).samples.at(itemId).width;
}

std::uint32_t HevcImageFileReader::getHeight(ContextId contextId, ItemId itemId) const
{
    checkInitialized();
    if (contextInfo(contextId).contextType == ContextKind::Meta) {
        return metaContext(contextId).images.at(itemId).height;
    }
    return trackContext(contextId).samples.at(itemId).height;
}

}  // namespace ambrel::heif
