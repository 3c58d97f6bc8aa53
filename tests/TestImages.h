#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

/** Small well-formed firmware images for tests that send or check them. */
namespace TestImages
{
/** One Intel HEX data record with `dataBytes` bytes, CR LF included (13 + 2n bytes). */
inline std::string dataRecord (unsigned dataBytes, unsigned address)
{
    char text[16];
    address &= 0xffffu;
    unsigned sum = dataBytes + (address >> 8) + (address & 0xff);
    std::snprintf (text, sizeof (text), ":%02X%04X00", dataBytes, address);
    std::string record (text);

    for (unsigned i = 0; i < dataBytes; ++i)
    {
        const auto value = (address + i * 7) & 0xffu;
        sum += value;
        std::snprintf (text, sizeof (text), "%02X", value);
        record += text;
    }

    std::snprintf (text, sizeof (text), "%02X\r\n", (0x100 - (sum & 0xff)) & 0xff);
    return record + text;
}

/** An image of exactly `size` bytes for the processor byte (at least 45 bytes):
        F0, the header of that processor's images, HEX data records, an end-of-file
        record, F7. */
inline std::vector<uint8_t> make (uint8_t processorByte, size_t size)
{
    std::vector<uint8_t> image;

    if (processorByte == 0x00)
        image = { 0xf0, 0x00, 0x01, 0x3f, 0x00, 0x33, 0x70 };
    else
        image = { 0xf0, 0x47, processorByte, 0x33, 0x70 };

    const std::string endOfFile = ":00000001FF";
    const auto fixed = image.size() + endOfFile.size() + 1;

    if (size < fixed + 26)
        throw std::invalid_argument ("test image too small");

    auto remaining = size - fixed;
    unsigned address = 0;
    std::string text;

    // Full records while plenty is left, then the rest in two to five shorter ones:
    // each record takes 13 to 45 bytes, an odd number, so the count of records
    // picks the parity and a CR LF after the end-of-file record makes up the rest.
    while (remaining > 120)
    {
        text += dataRecord (16, address);
        address += 16;
        remaining -= 45;
    }

    for (unsigned count = 2; count <= 5; ++count)
    {
        for (unsigned trailer : { 0u, 2u })
        {
            if (remaining < trailer)
                continue;

            const auto rest = remaining - trailer;

            if (rest % 2 != count % 2 || rest < 13 * count || rest > 45 * count)
                continue;

            auto dataBytes = (unsigned) (rest - 13 * count) / 2;

            for (unsigned r = 0; r < count; ++r)
            {
                const auto n = std::min (16u, dataBytes);
                text += dataRecord (n, address);
                address += n;
                dataBytes -= n;
            }

            text += endOfFile;

            if (trailer != 0)
                text += "\r\n";

            image.insert (image.end(), text.begin(), text.end());
            image.push_back (0xf7);
            return image;
        }
    }

    throw std::logic_error ("no record layout found");
}
}
