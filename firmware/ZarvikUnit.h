#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

/**
    The Brelmar Zarvik as the updater knows it: three processors, each behind
    a MIDI port of its own, and the five firmware images that go to them.

    The package, the controller, the version query, the simulated unit and
    the fuzzers read these facts from here; the build's image list is
    checked against them by a test. Plain C++, so that every part of the
    program and its tools can use it.
*/
namespace ZarvikUnit
{
enum class Processor
{
    control,
    audio,
    graphics
};

constexpr int numProcessors = 3;

struct ProcessorFacts
{
    Processor processor;
    const char* portName; // the port's name, compared whole and case-sensitively
    uint8_t replyCode; // body byte 14 of its identity reply
    uint8_t imageByte; // the processor byte in the header of its images
    const char* carriedVersion; // the version of the firmware this updater carries for it
};

constexpr std::array<ProcessorFacts, numProcessors> processors { {
    { Processor::control, "Zarvik Control", 0x00, 0x00, "0.0.3.6" },
    { Processor::audio, "Zarvik Audio", 0x10, 0x10, "0.0.2.5" },
    { Processor::graphics, "Zarvik Graphics", 0x20, 0x20, "0.0.2.5" },
} };

enum class Image
{
    audioApplication,
    graphicsApplication,
    graphicsAssets,
    audioAssets,
    controlFirmware
};

constexpr int numImages = 5;

struct ImageFacts
{
    Image image;
    Processor processor;
    const char* displayName;
    const char* fileName; // the .syx file's base name, which the build embeds
    bool assets; // left out of a "(Solvane Mode)" update
    bool startsAtOnce; // starts with the update; the others wait for an image before them to free the port
    int itemCode; // the item code the user interface is told
};

/** In the order of the package: the order in which the controller creates
    the senders, and picks the next waiting one. Not grouped by processor:
    the graphics assets come before the audio assets, so the first
    application image to finish starts the graphics assets. */
constexpr std::array<ImageFacts, numImages> images { {
    { Image::audioApplication, Processor::audio, "Audio Application Firmware", "RZ41_appap", false, true, 1 },
    { Image::graphicsApplication, Processor::graphics, "Graphics Application Firmware", "RZ41_appga", false, true, 3 },
    { Image::graphicsAssets, Processor::graphics, "Graphics Assets", "RZ41_assetsga", true, false, 4 },
    { Image::audioAssets, Processor::audio, "Audio Assets", "RZ41_assetsap", true, false, 2 },
    { Image::controlFirmware, Processor::control, "Control Firmware", "RZ41_apptr", false, true, 0 },
} };

constexpr const ProcessorFacts& facts (Processor processor) { return processors[(size_t) processor]; }
constexpr const ImageFacts& facts (Image image) { return images[(size_t) image]; }

/** The processor behind a port name (whole, case-sensitive). */
constexpr std::optional<Processor> processorOfPort (std::string_view portName)
{
    for (const auto& p : processors)
        if (portName == p.portName)
            return p.processor;

    return std::nullopt;
}

/** The processor an identity reply names by its code. */
constexpr std::optional<Processor> processorOfReplyCode (int code)
{
    for (const auto& p : processors)
        if (code == p.replyCode)
            return p.processor;

    return std::nullopt;
}

/** The image an item of that display name holds. The control firmware is
    known by its name anywhere in the display name, the others by the whole. */
constexpr std::optional<Image> imageNamed (std::string_view displayName)
{
    for (const auto& i : images)
        if (displayName == i.displayName || (i.image == Image::controlFirmware && displayName.find (i.displayName) != std::string_view::npos))
            return i.image;

    return std::nullopt;
}
} // namespace ZarvikUnit
