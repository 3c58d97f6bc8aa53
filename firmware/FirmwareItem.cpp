#include "FirmwareItem.h"

namespace
{
int countChunks (int size, int chunkSize)
{
    const auto bytes = (juce::uint32) size;
    const auto slice = (juce::uint32) chunkSize;
    return (int) (bytes / slice + (bytes % slice != 0 ? 1u : 0u));
}
}

FirmwareItem::FirmwareItem (const void* data,
                            const int& size,
                            const int& chunkSize_,
                            const int& intervalMs_,
                            juce::String portName_,
                            juce::String displayName_)
    : imageData (std::make_shared<const juce::MemoryBlock> (data, (size_t) juce::jmax (0, size)))
    , displayName (std::move (displayName_))
    , portName (std::move (portName_))
    , image (ZarvikUnit::imageNamed (displayName.toStdString()))
    , chunkSize (chunkSize_)
    , intervalMs (intervalMs_)
    , numChunks (countChunks (size, chunkSize_))
{
    jassert (chunkSize > 0);
}

FirmwareItem::Slice FirmwareItem::sliceOf (const juce::MemoryBlock& image, int chunkSize, int index)
{
    const auto size = (juce::int64) image.getSize();
    const auto start = (juce::int64) index * chunkSize;
    const auto end = juce::jmin ((juce::int64) (index + 1) * chunkSize, size);

    if (index < 0 || chunkSize <= 0 || start >= end)
        return {};

    return { static_cast<const juce::uint8*> (image.getData()) + start, (size_t) (end - start) };
}

juce::MemoryBlock FirmwareItem::getChunk (int index) const
{
    const auto slice = getSlice (index);
    return { slice.data, slice.size };
}
