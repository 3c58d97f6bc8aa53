#include "TestFirmwareGenerator.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

// Writes the five test firmware images into the folder given as the only argument.
int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf (stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }

    try
    {
        for (const auto& kind : TestFirmwareGenerator::packageImages())
        {
            const auto image = TestFirmwareGenerator::generate (kind);
            const auto path = std::string (argv[1]) + "/" + kind.fileName;
            std::ofstream file (path, std::ios::binary | std::ios::trunc);
            file.write (reinterpret_cast<const char*> (image.data()), (std::streamsize) image.size());

            if (! file)
                throw std::runtime_error ("cannot write " + path);
        }
    }
    catch (const std::exception& e)
    {
        std::fprintf (stderr, "zarvik-firmware-gen: %s\n", e.what());
        return 1;
    }

    return 0;
}
