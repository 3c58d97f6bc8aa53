#pragma once

#include "FirmwareItem.h"

namespace FirmwarePackage
{
    /** Every slice is this many bytes, the last one excepted. */
    constexpr int chunkSize = 256;

    /** One slice goes out per timer tick of this period. */
    constexpr int intervalMs = 3;

    /** Appends the five embedded firmware images to `items`, in the order the
        controller walks them when it creates and starts senders. */
    void createFirmwareItems (juce::OwnedArray<FirmwareItem>& items);
}
