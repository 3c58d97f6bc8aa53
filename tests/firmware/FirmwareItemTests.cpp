#include "firmware/FirmwareImageValidator.h"
#include "firmware/FirmwareItem.h"
#include "firmware/FirmwarePackage.h"

#include <gtest/gtest.h>

namespace
{
std::vector<char> countingBytes (int size)
{
    std::vector<char> bytes ((size_t) size);

    for (int i = 0; i < size; ++i)
        bytes[(size_t) i] = (char) (i % 127);

    return bytes;
}

FirmwareItem makeItem (const std::vector<char>& bytes, int chunkSize = 256)
{
    return { bytes.data(), (int) bytes.size(), chunkSize, 3, "Zarvik Audio", "Audio Assets" };
}
}

TEST (FirmwareItemSlicing, AnExactMultipleHasNoShortLastSlice)
{
    const auto bytes = countingBytes (1024);
    const auto item = makeItem (bytes);

    EXPECT_EQ (item.numChunks, 4);
    EXPECT_EQ (item.getChunk (3).getSize(), 256u);
    EXPECT_EQ (item.getChunk (4).getSize(), 0u);
}

TEST (FirmwareItemSlicing, AnEmptyImageHasNoSlices)
{
    const std::vector<char> bytes;
    const FirmwareItem item (nullptr, 0, 256, 3, "Zarvik Audio", "Audio Assets");

    EXPECT_EQ (item.numChunks, 0);
    EXPECT_EQ (item.getChunk (0).getSize(), 0u);
}

TEST (FirmwareItemSlicing, TheLastSliceHoldsTheRemainderAndIndicesPastTheEndAreEmpty)
{
    const auto bytes = countingBytes (1000);
    const auto item = makeItem (bytes);

    ASSERT_EQ (item.numChunks, 4);
    const auto last = item.getChunk (3);
    ASSERT_EQ (last.getSize(), 1000u - 768u);
    EXPECT_EQ (0, memcmp (last.getData(), bytes.data() + 768, last.getSize()));

    EXPECT_EQ (item.getChunk (4).getSize(), 0u);
    EXPECT_EQ (item.getChunk (5).getSize(), 0u);
    EXPECT_EQ (item.getChunk (-1).getSize(), 0u);
}

TEST (FirmwareItemSlicing, KeepsAPrivateCopyOfTheImage)
{
    auto bytes = countingBytes (300);
    const auto item = makeItem (bytes);
    bytes[0] = 99;

    EXPECT_EQ (static_cast<const char*> (item.getChunk (0).getData())[0], 0);
    EXPECT_FALSE (item.complete);
    EXPECT_FALSE (item.inProgress);
}

TEST (FirmwareItemSlicing, ASliceOfOneToThreeBytesIsKeptAsItIs)
{
    const auto bytes = countingBytes (258);
    const auto item = makeItem (bytes);

    ASSERT_EQ (item.numChunks, 2);
    const auto last = item.getChunk (1);
    ASSERT_EQ (last.getSize(), 2u);
    EXPECT_EQ (static_cast<const char*> (last.getData())[1], bytes[257]);
}

//==============================================================================
class EmbeddedPackage : public ::testing::Test
{
protected:
    void SetUp() override { FirmwarePackage::createFirmwareItems (items); }

    juce::OwnedArray<FirmwareItem> items;
};

TEST_F (EmbeddedPackage, HoldsTheFiveImagesInSendingOrderWithTheirPortsAndSizes)
{
    struct Expected
    {
        const char* name;
        const char* port;
        size_t size;
        int chunks;
        size_t lastSlice;
    };

    const Expected expected[] = {
        { "Audio Application Firmware", "Zarvik Audio", 706120, 2759, 72 },
        { "Graphics Application Firmware", "Zarvik Graphics", 686185, 2681, 105 },
        { "Graphics Assets", "Zarvik Graphics", 8266441, 32291, 201 },
        { "Audio Assets", "Zarvik Audio", 8266441, 32291, 201 },
        { "Control Firmware", "Zarvik Control", 65077, 255, 53 },
    };

    ASSERT_EQ (items.size(), 5);

    for (int i = 0; i < 5; ++i)
    {
        const auto& e = expected[i];
        const auto& item = *items[i];
        SCOPED_TRACE (e.name);

        EXPECT_EQ (item.getDisplayName(), e.name);
        EXPECT_EQ (item.getPortName(), e.port);
        EXPECT_EQ (item.getImageData().getSize(), e.size);
        EXPECT_EQ (item.chunkSize, 256);
        EXPECT_EQ (item.intervalMs, 3);
        EXPECT_EQ (item.numChunks, e.chunks);
        EXPECT_EQ (item.getChunk (item.numChunks - 1).getSize(), e.lastSlice);
    }
}

TEST_F (EmbeddedPackage, TheBuildEmbedsTheImagesThatTheUnitsTableNamesWithTheirProcessorBytes)
{
    // The build's list of image files and processor bytes, as CMake has it.
    const auto files = juce::StringArray::fromTokens (ZARVIK_BUILD_IMAGES, ",", "");
    const auto bytes = juce::StringArray::fromTokens (ZARVIK_BUILD_IMAGE_PROCESSORS, ",", "");
    ASSERT_EQ (files.size(), ZarvikUnit::numImages);
    ASSERT_EQ (bytes.size(), ZarvikUnit::numImages);

    for (const auto& image : ZarvikUnit::images)
    {
        SCOPED_TRACE (image.displayName);
        const auto index = files.indexOf (image.fileName);
        ASSERT_GE (index, 0);
        EXPECT_EQ (bytes[index].getHexValue32(), ZarvikUnit::facts (image.processor).imageByte);
        EXPECT_EQ (items[(int) image.image]->getImage(), image.image);
        EXPECT_EQ ((uint8_t) items[(int) image.image]->getChunk (0)[ZarvikUnit::facts (image.processor).imageByte == 0 ? 4 : 2],
                   ZarvikUnit::facts (image.processor).imageByte);
    }
}

TEST_F (EmbeddedPackage, EveryImageConcatenatedFromItsSlicesEqualsTheImage)
{
    for (auto* item : items)
    {
        SCOPED_TRACE (item->getDisplayName());
        // A stream grows its buffer geometrically; appending to a block reallocates every slice.
        juce::MemoryOutputStream stream;

        for (int i = 0; i < item->numChunks; ++i)
            stream.write (item->getChunk (i).getData(), item->getChunk (i).getSize());

        const auto joined = stream.getMemoryBlock();
        EXPECT_TRUE (joined == item->getImageData());
        EXPECT_EQ ((juce::uint8) joined[0], 0xf0);
        EXPECT_EQ ((juce::uint8) joined[joined.getSize() - 1], 0xf7);
    }
}

TEST_F (EmbeddedPackage, EveryImagePassesTheValidatorWithItsProcessorByte)
{
    const juce::uint8 processors[] = { 0x10, 0x20, 0x20, 0x10, 0x00 };

    for (int i = 0; i < items.size(); ++i)
    {
        const auto& image = items[i]->getImageData();
        const auto result = FirmwareImageValidator::validate (static_cast<const uint8_t*> (image.getData()), image.getSize(), processors[i]);
        EXPECT_TRUE (result.ok) << items[i]->getDisplayName() << ": offset " << result.offset << ": " << result.problem;
    }
}

TEST_F (EmbeddedPackage, ImagesHaveTheHeadersAndEndingsOfARelease)
{
    auto text = [] (const FirmwareItem& item, size_t from, size_t length)
    {
        return std::string (static_cast<const char*> (item.getImageData().getData()) + from, length);
    };

    const auto& audio = *items[0];
    EXPECT_EQ (text (audio, 5, 15), ":020000040804ee");
    EXPECT_EQ (text (audio, audio.getImageData().getSize() - 12, 11), ":00000001ff");

    const auto& assets = *items[2];
    EXPECT_EQ (text (assets, 5, 15), ":020000040810e2");

    const auto& control = *items[4];
    const auto controlSize = control.getImageData().getSize();
    EXPECT_EQ (text (control, 7, 15), ":020000040800F2");
    EXPECT_NE (text (control, 0, controlSize).find (":04000005080040EDC2\r\n:00000001FF\r\n"), std::string::npos);
    EXPECT_EQ (text (control, controlSize - 14, 13), ":00000001FF\r\n");

    // The two asset images differ only in the processor byte.
    auto graphicsAssets = items[2]->getImageData();
    auto audioAssets = items[3]->getImageData();
    EXPECT_EQ ((juce::uint8) graphicsAssets[2], 0x20);
    EXPECT_EQ ((juce::uint8) audioAssets[2], 0x10);
    graphicsAssets[2] = audioAssets[2];
    EXPECT_TRUE (graphicsAssets == audioAssets);
}
