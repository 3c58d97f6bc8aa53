#include "../../firmware/FirmwareImageValidator.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Checks firmware images before the build embeds them:
//   zarvik-firmware-check [--processor HEX] FILE [[--processor HEX] FILE ...]
// A --processor option applies to the files after it. Prints each fault as
// "FILE: byte offset N: problem" and exits with 1 when any image is invalid.
int main (int argc, char** argv)
{
    int expectedProcessor = -1;
    int faults = 0;

    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];

        if (arg == "--processor" && i + 1 < argc)
        {
            expectedProcessor = (int) std::strtol (argv[++i], nullptr, 16);
            continue;
        }

        std::ifstream file (arg, std::ios::binary);

        if (! file)
        {
            std::fprintf (stderr, "%s: cannot open the firmware image\n", arg.c_str());
            ++faults;
            continue;
        }

        const std::vector<uint8_t> image ((std::istreambuf_iterator<char> (file)), std::istreambuf_iterator<char>());

        const auto result = expectedProcessor < 0
                              ? FirmwareImageValidator::validate (image.data(), image.size())
                              : FirmwareImageValidator::validate (image.data(), image.size(), (uint8_t) expectedProcessor);

        if (! result.ok)
        {
            std::fprintf (stderr, "%s: byte offset %zu: %s\n", arg.c_str(), result.offset, result.problem.c_str());
            ++faults;
        }
    }

    return faults == 0 ? 0 : 1;
}
