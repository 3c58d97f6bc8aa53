#include "FirmwarePackage.h"

#include <BinaryData.h>

namespace FirmwarePackage
{
Kind getKind()
{
    // Set by the build from where the images come from: generated, or a release folder.
    return ZARVIK_TEST_FIRMWARE ? Kind::testFirmware : Kind::release;
}

void createFirmwareItems (juce::OwnedArray<FirmwareItem>& items)
{
    struct Entry
    {
        const char* data;
        int size;
        const char* port;
        const char* name;
    };

    // Not grouped by processor: the graphics assets come before the audio
    // assets, so the first application image to finish starts the graphics assets.
    const Entry entries[] = {
        { BinaryData::RZ41_appap_syx, BinaryData::RZ41_appap_syxSize, "Zarvik Audio", "Audio Application Firmware" },
        { BinaryData::RZ41_appga_syx, BinaryData::RZ41_appga_syxSize, "Zarvik Graphics", "Graphics Application Firmware" },
        { BinaryData::RZ41_assetsga_syx, BinaryData::RZ41_assetsga_syxSize, "Zarvik Graphics", "Graphics Assets" },
        { BinaryData::RZ41_assetsap_syx, BinaryData::RZ41_assetsap_syxSize, "Zarvik Audio", "Audio Assets" },
        { BinaryData::RZ41_apptr_syx, BinaryData::RZ41_apptr_syxSize, "Zarvik Control", "Control Firmware" },
    };

    for (const auto& e : entries)
        items.add (new FirmwareItem (e.data, e.size, chunkSize, intervalMs, e.port, e.name));
}
}
