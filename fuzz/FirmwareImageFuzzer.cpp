// The firmware image validator, which judges every image a build embeds and
// every image the simulated unit receives, on bytes of any kind. Besides not
// crashing it must be consistent: a fault lies within the image, an image it
// passes is framed as a SysEx message of 7-bit bytes, and the check with a
// processor byte passes exactly the images with that byte.

#include "firmware/FirmwareImageValidator.h"

#include <cstdlib>

namespace
{
void require (bool condition)
{
    if (! condition)
        std::abort();
}
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto result = FirmwareImageValidator::validate (data, size);

    if (! result.ok)
    {
        require (result.offset <= size && ! result.problem.empty());
        return 0;
    }

    require (size >= 2 && data[0] == 0xf0 && data[size - 1] == 0xf7);

    for (size_t i = 1; i + 1 < size; ++i)
        require (data[i] < 0x80);

    const auto processorOffset = FirmwareImageValidator::processorByteOffset (data, size);
    require (processorOffset > 0 && processorOffset < size);

    const auto processor = data[processorOffset];
    require (FirmwareImageValidator::validate (data, size, processor).ok);
    require (! FirmwareImageValidator::validate (data, size, (uint8_t) (processor ^ 0x10)).ok);
    return 0;
}
