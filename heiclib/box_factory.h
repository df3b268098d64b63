// One place that makes the box object for a box type, the box that keeps
// any other box as its bytes, and the loop through which every container
// reads its children.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "heiclib/bitstream.h"
#include "heiclib/box.h"
#include "heiclib/fourcc.h"

namespace ambrel::heif {

// A box kept as the bytes it was read from, header included. Containers hold
// their unknown children (and children they do not model) this way, so that
// writing a parsed box gives back the bytes it was parsed from.
class RawBox : public Box
{
public:
    explicit RawBox(FourCCInt boxType = FourCCInt());

    // The whole box, header included; empty until parsed.
    const std::vector<std::uint8_t>& getBytes() const { return mBytes; }

    // Writes the kept bytes unchanged; a box never parsed writes an empty box
    // of its type (a bare 8-byte header).
    void writeBox(BitStream& output) override;
    // Reads the header and keeps every byte of the stream.
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint8_t> mBytes;
};

// A new, empty object of the class that models a box of this type, or
// nullptr for a type the model has no class for. Only types whose class does
// not depend on the parent are here: reference boxes ('iref' and 'tref'
// children) and entity groups ('grpl' children) take their type from the
// file and are made by their parents, which know what they hold.
std::shared_ptr<Box> makeBox(FourCCInt type);

// makeBox(type), or a RawBox for a type without a class; parsed from `child`.
std::shared_ptr<Box> parseBoxOfType(FourCCInt type, BitStream& child);

// The child loop of every container: while the container has bytes left,
// cuts the next child out by its own declared size (a child never reads past
// that size, and bytes it leaves unread are skipped; a child whose size runs
// past the container throws std::out_of_range) and hands it to
// visit(FourCCInt type, BitStream& child).
template <typename Visit>
void forEachChildBox(BitStream& input, Visit&& visit)
{
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        visit(type, child);
    }
}

// The order in which a parsed container held its children, with the bytes of
// the children it does not model, so that writing the container back keeps
// both. A parsed container writes the children it read, in their order; a
// container made in memory writes its children in its default order.
class ChildOrder
{
public:
    struct Slot
    {
        FourCCInt type;
        std::size_t occurrence = 0;   // modelled children: how many of this type came before
        std::shared_ptr<RawBox> raw;  // children kept as bytes; null for modelled ones
    };

    // Forgets what was recorded and marks the container as parsed.
    void beginParse()
    {
        mSlots.clear();
        mModelledCounts.clear();
        mParsed = true;
    }
    bool isParsed() const { return mParsed; }
    const std::vector<Slot>& getSlots() const { return mSlots; }

    // A child parsed into the container's own model.
    void noteModelled(FourCCInt type);
    // A child kept as its bytes; parses `child` into a RawBox.
    void noteRaw(FourCCInt type, BitStream& child);

    // Reads every child of a container whose children are members: a child
    // of a type that `modelled(type)` maps to a member is parsed into it, any
    // other is kept as its bytes.
    template <typename Modelled>
    void parseChildren(BitStream& input, Modelled&& modelled)
    {
        beginParse();
        forEachChildBox(input, [&](FourCCInt type, BitStream& child) {
            if (Box* box = modelled(type)) {
                box->parseBox(child);
                noteModelled(type);
            } else {
                noteRaw(type, child);
            }
        });
    }

    // Passed as the occurrence of a child the parsed container did not have
    // but that may have been set since (see write()).
    static constexpr std::size_t kNotRead = std::numeric_limits<std::size_t>::max();

    // A parsed container: the recorded children in their order, modelled ones
    // through writeModelled(type, occurrence), the others as their bytes; a
    // type of `defaults` the file did not have goes through
    // writeModelled(type, kNotRead) where a container made in memory would
    // put it, so that a child set after parsing is written too.
    // A container made in memory: writeModelled(type, 0) for every type of
    // `defaults` in turn. writeModelled decides whether a child with nothing
    // in it is written.
    template <typename WriteModelled>
    void write(BitStream& output, std::initializer_list<FourCCInt> defaults, WriteModelled&& writeModelled) const
    {
        if (!mParsed) {
            for (const FourCCInt type : defaults) {
                writeModelled(type, std::size_t{0});
            }
            return;
        }
        const auto rank = [&defaults](FourCCInt type) {
            const auto* it = std::find(defaults.begin(), defaults.end(), type);
            return static_cast<std::size_t>(it - defaults.begin());
        };
        std::size_t nextDefault = 0;  // defaults before this one are placed
        const auto writeMissingBefore = [&](std::size_t limit) {
            for (; nextDefault < limit && nextDefault < defaults.size(); ++nextDefault) {
                const FourCCInt type = *(defaults.begin() + nextDefault);
                if (!hasModelled(type)) {
                    writeModelled(type, kNotRead);
                }
            }
        };
        for (const auto& slot : mSlots) {
            if (slot.raw) {
                slot.raw->writeBox(output);
                continue;
            }
            const std::size_t slotRank = rank(slot.type);
            if (slotRank < defaults.size()) {
                writeMissingBefore(slotRank);
            }
            writeModelled(slot.type, slot.occurrence);
        }
        writeMissingBefore(defaults.size());
    }

    // Whether the parsed container had a modelled child of this type.
    [[nodiscard]] bool hasModelled(FourCCInt type) const { return mModelledCounts.count(type.getUInt32()) != 0; }

private:
    std::vector<Slot> mSlots;
    // Modelled children seen so far, by type: a container may repeat a child
    // hundreds of thousands of times, so counting them again for each one
    // would be quadratic.
    std::map<std::uint32_t, std::size_t> mModelledCounts;
    bool mParsed = false;
};

}  // namespace ambrel::heif
