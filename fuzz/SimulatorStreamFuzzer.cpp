// The simulated unit's stream parser, which judges every image the tests and
// benchmarks send. Garbage, then F7 to end whatever the garbage left open,
// then a small valid image, then more garbage, each cut into buffers at
// random points: the image must be judged valid and kept byte for byte, and
// nothing may be judged valid that is not a well-formed image that was sent.

#include "firmware/FirmwareImageValidator.h"
#include "tools/simulator/SimulatedZarvik.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <random>

namespace
{
using Bytes = std::vector<uint8_t>;

void require (bool condition)
{
    if (! condition)
        std::abort();
}

void appendHex (Bytes& text, unsigned int value, int digits)
{
    char buffer[8];
    std::snprintf (buffer, sizeof (buffer), "%0*X", digits, value);
    text.insert (text.end(), buffer, buffer + digits);
}

/** A few Intel HEX data records and the end-of-file record, each ended by CR LF. */
void appendRecords (Bytes& image, FuzzedDataProvider& input)
{
    const auto records = input.ConsumeIntegralInRange (0, 4);

    for (int r = 0; r < records; ++r)
    {
        const auto data = input.ConsumeBytes<uint8_t> (input.ConsumeIntegralInRange (0, 16));
        const auto address = input.ConsumeIntegral<uint16_t>();
        unsigned int sum = (unsigned int) data.size() + (address >> 8) + (address & 0xff);

        image.push_back (':');
        appendHex (image, (unsigned int) data.size(), 2);
        appendHex (image, address, 4);
        appendHex (image, 0, 2);

        for (auto b : data)
        {
            appendHex (image, b, 2);
            sum += b;
        }

        appendHex (image, (0x100 - (sum & 0xff)) & 0xff, 2);
        image.insert (image.end(), { '\r', '\n' });
    }

    const std::string endOfFile = ":00000001FF";
    image.insert (image.end(), endOfFile.begin(), endOfFile.end());

    if (input.ConsumeBool())
        image.insert (image.end(), { '\r', '\n' });
}

/** A well-formed image for the processor, with a one- or three-byte manufacturer identifier. */
Bytes validImage (int processor, FuzzedDataProvider& input)
{
    Bytes image { 0xf0 };

    // 7E and 7F would make it a universal message, which is no image.
    if (input.ConsumeBool())
        image.insert (image.end(), { 0x00, input.ConsumeIntegralInRange<uint8_t> (0, 0x7f), input.ConsumeIntegralInRange<uint8_t> (0, 0x7f) });
    else
        image.push_back (input.ConsumeIntegralInRange<uint8_t> (1, 0x7d));

    image.insert (image.end(), { SimulatedZarvik::getImageProcessorByte (processor), 0x33, 0x70 });
    appendRecords (image, input);
    image.push_back (0xf7);
    return image;
}
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    FuzzedDataProvider input (data, size);
    const auto processor = input.ConsumeIntegralInRange (0, SimulatedZarvik::numProcessors - 1);
    std::minstd_rand random (input.ConsumeIntegral<uint32_t>());

    auto before = input.ConsumeBytes<uint8_t> (input.ConsumeIntegralInRange<size_t> (0, 4096));
    before.push_back (0xf7);
    const auto image = validImage (processor, input);
    const auto after = input.ConsumeRemainingBytes<uint8_t>();

    SimulatedZarvik unit;
    Bytes sent;
    uint64_t buffers = 0;

    const auto send = [&] (const Bytes& bytes)
    {
        for (size_t offset = 0; offset < bytes.size();)
        {
            const auto length = std::min (bytes.size() - offset, (size_t) (1 + random() % 300));
            unit.receive (processor, bytes.data() + offset, length);
            offset += length;
            ++buffers;
        }

        sent.insert (sent.end(), bytes.begin(), bytes.end());
    };

    send (before);
    const auto imagesBefore = (size_t) unit.getImageCount (processor);
    require (! unit.isReceivingImage (processor));

    send (image);
    require ((size_t) unit.getImageCount (processor) == imagesBefore + 1);
    send (after);

    const auto images = unit.getImages (processor);
    require (images[imagesBefore].valid && images[imagesBefore].bytes == image);

    for (const auto& received : images)
    {
        if (! received.valid)
            continue;

        require (received.complete && received.problem.empty());
        require (FirmwareImageValidator::validate (received.bytes.data(), received.bytes.size(), SimulatedZarvik::getImageProcessorByte (processor)).ok);
        require (std::search (sent.begin(), sent.end(), received.bytes.begin(), received.bytes.end()) != sent.end());
    }

    const auto statistics = unit.getStatistics (processor);
    require (statistics.bytesReceived == sent.size() && statistics.buffersReceived == buffers);
    return 0;
}
