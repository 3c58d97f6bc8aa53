#pragma once

#include <cstdint>
#include <string>
#include <vector>

/**
    Makes deterministic test firmware with the framing, sizes and record layout
    of a Zarvik release, for builds that have no real release to embed.
*/
namespace TestFirmwareGenerator
{
    struct ImageKind
    {
        std::string fileName;
        std::vector<uint8_t> header; /**< F0, manufacturer identifier, processor byte, 33 70. */
        size_t size;                 /**< Total image size, F0 and F7 included. */
        uint16_t firstUpperAddress;  /**< Upper address half of the first type 04 record. */
        bool upperCaseDigits;
        bool controlLayout;          /**< Start-address record, and CR LF after the end-of-file record. */
        uint32_t seed;               /**< Seeds the data bytes; equal seeds give equal payloads. */
    };

    /** The five images of the package, in the order the build embeds them. */
    std::vector<ImageKind> packageImages();

    /** Builds one image; throws std::runtime_error if its size cannot be met exactly. */
    std::vector<uint8_t> generate (const ImageKind& kind);
}
