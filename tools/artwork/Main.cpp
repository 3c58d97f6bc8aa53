#include "ArtworkPainter.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

// Paints the updater's eight pictures and writes them as PNG files into the
// folder named on the command line (normally resources/).

namespace
{
int fail (const juce::String& what, const juce::String& why)
{
    std::cerr << "zarvik-artwork: cannot " << what << " - " << why << std::endl;
    return 1;
}

juce::String writePicture (const juce::Image& image, const juce::File& file)
{
    // Written beside the target first, so a failed run never leaves half a PNG behind.
    juce::TemporaryFile temporary (file);

    {
        juce::FileOutputStream out (temporary.getFile());

        if (! out.openedOk())
            return out.getStatus().getErrorMessage();

        juce::PNGImageFormat png;
        if (! png.writeImageToStream (image, out))
            return "PNG encoding failed";

        out.flush();
        if (out.getStatus().failed())
            return out.getStatus().getErrorMessage();
    }

    if (! temporary.overwriteTargetFileWithTemporary())
        return "the file could not be replaced";

    return {};
}
}

int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: zarvik-artwork OUTPUT_FOLDER" << std::endl;
        return 2;
    }

    juce::ScopedJuceInitialiser_GUI juce;

    const auto folder = juce::File::getCurrentWorkingDirectory().getChildFile (juce::String::fromUTF8 (argv[1]));

    if (! folder.isDirectory())
        return fail ("write to " + folder.getFullPathName(), "not a folder");

    if (const auto missing = ArtworkPainter::checkTypeface(); missing.isNotEmpty())
        return fail ("paint the pictures", missing);

    for (const auto& picture : ArtworkPainter::getPictures())
    {
        const auto image = picture.paint();

        if (image.getWidth() != picture.width || image.getHeight() != picture.height)
            return fail ("paint " + picture.fileName, "painted " + juce::String (image.getWidth()) + " x " + juce::String (image.getHeight()));

        const auto file = folder.getChildFile (picture.fileName);

        if (const auto error = writePicture (image, file); error.isNotEmpty())
            return fail ("write " + file.getFullPathName(), error);

        std::cout << picture.fileName << "  " << picture.width << " x " << picture.height << "  " << file.getSize() << " bytes" << std::endl;
    }

    return 0;
}
