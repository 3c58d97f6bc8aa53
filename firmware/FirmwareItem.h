#pragma once

#include "ZarvikUnit.h"

#include <juce_core/juce_core.h>
#include <memory>
#include <optional>

/**
    One firmware image with its target port and the slicing it is sent with.

    The item keeps a private copy of the image bytes; it never looks inside
    them. Owned by the application; the controller and the senders hold plain
    pointers to it. The flags are written by the sender and the controller on
    the message thread; the image itself never changes.
*/
class FirmwareItem final
{
public:
    FirmwareItem (const void* data,
                  const int& size,
                  const int& chunkSize,
                  const int& intervalMs,
                  juce::String portName,
                  juce::String displayName);

    juce::String getDisplayName() const { return displayName; }
    juce::String getPortName() const { return portName; }

    /** Which of the unit's images it holds, told by its display name; none
        for a name the unit does not know. */
    std::optional<ZarvikUnit::Image> getImage() const noexcept { return image; }

    /** Bytes of an image, viewed where they lie. */
    struct Slice
    {
        const juce::uint8* data = nullptr;
        size_t size = 0;
    };

    /** Slice `index` of an image cut into `chunkSize`-byte slices: chunkSize
        bytes, fewer for the last one, none at or past the end. A view into the
        image, valid while the image is. */
    static Slice sliceOf (const juce::MemoryBlock& image, int chunkSize, int index);

    /** Slice `index` of this item's image (sliceOf). */
    Slice getSlice (int index) const { return sliceOf (*imageData, chunkSize, index); }

    /** A copy of slice `index`. */
    juce::MemoryBlock getChunk (int index) const;

    /** The whole image as stored. */
    const juce::MemoryBlock& getImageData() const noexcept { return *imageData; }

    /** The image, shared: a transfer running on another thread keeps it alive
        even if the item is deleted first, as happens when the program quits
        mid-transfer. */
    std::shared_ptr<const juce::MemoryBlock> getSharedImageData() const noexcept { return imageData; }

private:
    const std::shared_ptr<const juce::MemoryBlock> imageData;
    juce::String displayName;
    juce::String portName;
    std::optional<ZarvikUnit::Image> image;

public:
    const int chunkSize;
    const int intervalMs;
    const int numChunks;
    bool complete = false;
    bool inProgress = false;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareItem)
};
