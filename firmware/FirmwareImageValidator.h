#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/**
    Checks that a byte string is one well-formed SysEx firmware image: F0, a
    manufacturer identifier (one byte, or three starting with 00), a processor
    byte, 33 70, Intel HEX records separated by CR LF ending with an
    end-of-file record, then F7, with every byte in between below 0x80.

    Plain C++ without JUCE, so that the build can check images before it
    embeds them and the simulated unit can check what it received.
*/
struct FirmwareImageValidator
{
    struct Result
    {
        bool ok = true;
        size_t offset = 0;   /**< Byte offset of the first fault. */
        std::string problem; /**< What is wrong at that offset. */
    };

    /** Returns the first fault found, scanning from the start; ok when none. */
    static Result validate (const uint8_t* data, size_t size);

    /** Like validate(), and also requires the given processor byte in the header. */
    static Result validate (const uint8_t* data, size_t size, uint8_t expectedProcessor);

    /** Offset of the processor byte, or 0 when the header is too short to hold one. */
    static size_t processorByteOffset (const uint8_t* data, size_t size);
};
