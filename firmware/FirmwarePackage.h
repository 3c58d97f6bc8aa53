#pragma once

#include "FirmwareItem.h"

namespace FirmwarePackage
{
/** Every slice is this many bytes, the last one excepted. */
constexpr int chunkSize = 256;

/** One slice goes out per timer tick of this period. */
constexpr int intervalMs = 3;

/** What the embedded images are: a firmware release for real units, or the
    generated test firmware, which only a rehearsal unit (the simulated one)
    may receive. */
enum class Kind
{
    release,
    testFirmware
};

/** The kind of the images this program embeds, fixed when it is built. */
Kind getKind();

/** What a build with test firmware says about itself wherever a user looks. */
constexpr const char* testFirmwareNotice = "Test firmware: for rehearsal with zarvik-sim only";

/** The embedded image's bytes, as stored. */
juce::MemoryBlock embeddedImage (ZarvikUnit::Image image);

/** Appends the five embedded firmware images to `items`, in the order the
    controller walks them when it creates and starts senders (ZarvikUnit::images). */
void createFirmwareItems (juce::OwnedArray<FirmwareItem>& items);
}
