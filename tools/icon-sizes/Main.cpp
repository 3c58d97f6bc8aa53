// Writes a square PNG picture at several sizes, as a desktop icon theme wants it:
//   zarvik-icon-sizes SOURCE.png OUTPUT_DIR NAME SIZE...
// makes OUTPUT_DIR/SIZE/NAME.png for every SIZE.
#include <juce_graphics/juce_graphics.h>

#include <iostream>

namespace
{
int fail (const juce::String& what)
{
    std::cerr << "zarvik-icon-sizes: " << what << std::endl;
    return 1;
}
}

int main (int argc, char** argv)
{
    if (argc < 5)
        return fail ("usage: zarvik-icon-sizes SOURCE.png OUTPUT_DIR NAME SIZE...");

    const juce::File source (juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]));
    const juce::File outputDir (juce::File::getCurrentWorkingDirectory().getChildFile (argv[2]));
    const juce::String name (argv[3]);

    const auto picture = juce::ImageFileFormat::loadFrom (source);

    if (! picture.isValid())
        return fail ("cannot read " + source.getFullPathName());

    for (int i = 4; i < argc; ++i)
    {
        const auto size = juce::String (argv[i]).getIntValue();

        if (size <= 0)
            return fail ("not a size: " + juce::String (argv[i]));

        const auto scaled = picture.convertedToFormat (juce::Image::ARGB).rescaled (size, size, juce::Graphics::highResamplingQuality);
        const auto file = outputDir.getChildFile (juce::String (size)).getChildFile (name + ".png");

        if (! file.getParentDirectory().createDirectory())
            return fail ("cannot create " + file.getParentDirectory().getFullPathName());

        file.deleteFile();
        juce::FileOutputStream stream (file);
        juce::PNGImageFormat png;

        if (stream.failedToOpen() || ! png.writeImageToStream (scaled, stream))
            return fail ("cannot write " + file.getFullPathName());
    }

    return 0;
}
