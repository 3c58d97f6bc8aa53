#include "FirmwarePackage.h"

#include <BinaryData.h>

namespace FirmwarePackage
{
Kind getKind()
{
    // Set by the build from where the images come from: generated, or a release folder.
    return ZARVIK_TEST_FIRMWARE ? Kind::testFirmware : Kind::release;
}

juce::MemoryBlock embeddedImage (ZarvikUnit::Image image)
{
    switch (image)
    {
        case ZarvikUnit::Image::audioApplication:
            return { BinaryData::RZ41_appap_syx, (size_t) BinaryData::RZ41_appap_syxSize };
        case ZarvikUnit::Image::graphicsApplication:
            return { BinaryData::RZ41_appga_syx, (size_t) BinaryData::RZ41_appga_syxSize };
        case ZarvikUnit::Image::graphicsAssets:
            return { BinaryData::RZ41_assetsga_syx, (size_t) BinaryData::RZ41_assetsga_syxSize };
        case ZarvikUnit::Image::audioAssets:
            return { BinaryData::RZ41_assetsap_syx, (size_t) BinaryData::RZ41_assetsap_syxSize };
        case ZarvikUnit::Image::controlFirmware:
            return { BinaryData::RZ41_apptr_syx, (size_t) BinaryData::RZ41_apptr_syxSize };
    }

    return {};
}

void createFirmwareItems (juce::OwnedArray<FirmwareItem>& items)
{
    for (const auto& image : ZarvikUnit::images)
    {
        const auto bytes = embeddedImage (image.image);
        items.add (new FirmwareItem (bytes.getData(), (int) bytes.getSize(), chunkSize, intervalMs, ZarvikUnit::facts (image.processor).portName, image.displayName));
    }
}
}
