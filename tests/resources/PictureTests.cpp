#include "tests/TestUtilities.h"

#include <BinaryData.h>
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
struct EmbeddedPicture
{
    const char* fileName;
    const char* data;
    int size;
    int width;
    int height;
};

const EmbeddedPicture embeddedPictures[] {
    { "Zarvik_DriverUpdater_Icon.png", BinaryData::Zarvik_DriverUpdater_Icon_png, BinaryData::Zarvik_DriverUpdater_Icon_pngSize, 1024, 1024 },
    { "Zarvik_DriverUpdateUtility_AboutScreen.png", BinaryData::Zarvik_DriverUpdateUtility_AboutScreen_png, BinaryData::Zarvik_DriverUpdateUtility_AboutScreen_pngSize, 500, 329 },
    { "Zarvik_DriverUpdateUtility_Background.png", BinaryData::Zarvik_DriverUpdateUtility_Background_png, BinaryData::Zarvik_DriverUpdateUtility_Background_pngSize, 500, 452 },
    { "Zarvik_DriverUpdateUtility_Button_Hover.png", BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_pngSize, 150, 30 },
    { "Zarvik_DriverUpdateUtility_Button_Normal.png", BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_pngSize, 150, 30 },
    { "Zarvik_DriverUpdateUtility_Button_Press.png", BinaryData::Zarvik_DriverUpdateUtility_Button_Press_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Press_pngSize, 150, 30 },
    { "Zarvik_DriverUpdateUtility_LED_NoHardware.png", BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_pngSize, 12, 12 },
    { "Zarvik_DriverUpdateUtility_LED_WithHardware.png", BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_pngSize, 12, 12 },
};

juce::Image decode (const char* data, int size)
{
    return juce::ImageFileFormat::loadFrom (data, (size_t) size);
}

float brightness (juce::Colour colour)
{
    return ((float) colour.getRed() + (float) colour.getGreen() + (float) colour.getBlue()) / 3.0f;
}

float averageBrightness (const juce::Image& image, juce::Rectangle<int> area)
{
    float sum = 0.0f;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            sum += brightness (image.getPixelAt (x, y));

    return sum / (float) (area.getWidth() * area.getHeight());
}

bool isMidGrey (juce::Colour c)
{
    const auto level = brightness (c);
    return level >= 96.0f && level <= 168.0f && std::abs (c.getRed() - c.getBlue()) < 16 && std::abs (c.getRed() - c.getGreen()) < 16;
}

bool isLightBlue (juce::Colour c)
{
    return c.getBlue() >= 200 && c.getBlue() > c.getRed() + 40 && c.getGreen() > c.getRed();
}

// A fresh folder that is removed with everything in it.
struct ScratchFolder
{
    ScratchFolder() { folder.createDirectory(); }
    ~ScratchFolder() { folder.deleteRecursively(); }

    const juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("zarvik-artwork", {});
};

struct ToolRun
{
    juce::uint32 exitCode;
    juce::String output;
};

ToolRun runArtworkTool (const juce::File& folder)
{
    juce::ChildProcess process;
    if (! process.start (TestUtilities::withCrashesAsFailures ({ ZARVIK_ARTWORK_TOOL, folder.getFullPathName() })))
        return { 127, "could not start " ZARVIK_ARTWORK_TOOL };

    const auto output = process.readAllProcessOutput();
    if (! process.waitForProcessToFinish (60000))
        return { 124, output + "did not finish" };

    return { process.getExitCode(), output };
}

juce::Image background()
{
    return decode (BinaryData::Zarvik_DriverUpdateUtility_Background_png, BinaryData::Zarvik_DriverUpdateUtility_Background_pngSize);
}
}

TEST (EmbeddedPictures, EveryPictureDecodesAsPngAtItsStatedSize)
{
    juce::PNGImageFormat png;

    for (const auto& picture : embeddedPictures)
    {
        SCOPED_TRACE (picture.fileName);

        juce::MemoryInputStream stream (picture.data, (size_t) picture.size, false);
        EXPECT_TRUE (png.canUnderstand (stream));

        const auto decoded = decode (picture.data, picture.size);
        ASSERT_TRUE (decoded.isValid());
        EXPECT_EQ (decoded.getWidth(), picture.width);
        EXPECT_EQ (decoded.getHeight(), picture.height);

        // The window loads its pictures through the image cache.
        const auto cached = juce::ImageCache::getFromMemory (picture.data, picture.size);
        EXPECT_EQ (cached.getBounds(), decoded.getBounds());
    }
}

TEST (EmbeddedPictures, BackgroundHasALightBlueRuleUnderTheHeaderBand)
{
    const auto image = background();

    for (int x : { 0, 120, 250, 499 })
    {
        SCOPED_TRACE (x);
        EXPECT_TRUE (isLightBlue (image.getPixelAt (x, 141))) << image.getPixelAt (x, 141).toDisplayString (false);
        EXPECT_TRUE (isLightBlue (image.getPixelAt (x, 142))) << image.getPixelAt (x, 142).toDisplayString (false);
        EXPECT_FALSE (isLightBlue (image.getPixelAt (x, 143)));
    }
}

TEST (EmbeddedPictures, BackgroundWellHasAOnePixelMidGreyOutlineAroundTheProgressBar)
{
    const auto image = background();

    for (int y = 314; y <= 341; ++y)
    {
        SCOPED_TRACE (y);
        EXPECT_TRUE (isMidGrey (image.getPixelAt (19, y)));
        EXPECT_TRUE (isMidGrey (image.getPixelAt (481, y)));
        EXPECT_GT (brightness (image.getPixelAt (18, y)), brightness (image.getPixelAt (19, y)) + 40.0f);
        EXPECT_GT (brightness (image.getPixelAt (482, y)), brightness (image.getPixelAt (481, y)) + 40.0f);
    }

    for (int x = 19; x <= 481; ++x)
    {
        SCOPED_TRACE (x);
        EXPECT_TRUE (isMidGrey (image.getPixelAt (x, 314)));
        EXPECT_TRUE (isMidGrey (image.getPixelAt (x, 341)));
        EXPECT_GT (brightness (image.getPixelAt (x, 313)), brightness (image.getPixelAt (x, 314)) + 40.0f);
        EXPECT_GT (brightness (image.getPixelAt (x, 342)), brightness (image.getPixelAt (x, 341)) + 40.0f);
    }

    // Inside the outline the bar's transparent ground shows a light well, so its black
    // percentage text stays readable.
    EXPECT_GT (averageBrightness (image, { 20, 315, 461, 26 }), 200.0f);
}

TEST (EmbeddedPictures, BackgroundBodyIsPlainBehindTheTextsAndDarkerTowardsTheBottom)
{
    const auto image = background();

    EXPECT_GT (averageBrightness (image, { 0, 150, 500, 4 }), averageBrightness (image, { 0, 444, 500, 4 }) + 8.0f);

    // Where the window's labels sit (product line, version columns, status rows,
    // hardware and software lines) the body carries no drawing that could fight
    // the text: light, grey and nearly even.
    const juce::Rectangle<int> textAreas[] { { 10, 160, 480, 120 }, { 13, 343, 400, 54 }, { 10, 402, 310, 30 }, { 330, 435, 150, 12 } };

    for (const auto& area : textAreas)
    {
        SCOPED_TRACE (area.toString());
        float lightest = 0.0f;
        float darkest = 255.0f;

        for (int y = area.getY(); y < area.getBottom(); ++y)
        {
            for (int x = area.getX(); x < area.getRight(); ++x)
            {
                const auto c = image.getPixelAt (x, y);
                lightest = juce::jmax (lightest, brightness (c));
                darkest = juce::jmin (darkest, brightness (c));
                ASSERT_LT (c.getSaturation(), 0.1f) << x << ", " << y;
            }
        }

        EXPECT_GT (darkest, 190.0f);
        EXPECT_LT (lightest - darkest, 24.0f);
    }
}

TEST (EmbeddedPictures, LedsAreGreenAndRedAtTheCentreWithTransparentCorners)
{
    const auto green = decode (BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_WithHardware_pngSize);
    const auto red = decode (BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_png, BinaryData::Zarvik_DriverUpdateUtility_LED_NoHardware_pngSize);

    for (const auto& [x, y] : { std::pair { 5, 6 }, std::pair { 6, 6 }, std::pair { 6, 7 } })
    {
        const auto g = green.getPixelAt (x, y);
        EXPECT_EQ (g.getAlpha(), 255);
        EXPECT_GT (g.getGreen(), g.getRed() + 80) << g.toDisplayString (false);
        EXPECT_GT (g.getGreen(), g.getBlue() + 80) << g.toDisplayString (false);

        const auto r = red.getPixelAt (x, y);
        EXPECT_EQ (r.getAlpha(), 255);
        EXPECT_GT (r.getRed(), r.getGreen() + 80) << r.toDisplayString (false);
        EXPECT_GT (r.getRed(), r.getBlue() + 80) << r.toDisplayString (false);
    }

    for (const auto& led : { green, red })
        for (const auto& [x, y] : { std::pair { 0, 0 }, std::pair { 11, 0 }, std::pair { 0, 11 }, std::pair { 11, 11 } })
            EXPECT_EQ (led.getPixelAt (x, y).getAlpha(), 0) << x << ", " << y;
}

TEST (EmbeddedPictures, ButtonIsLighterUnderThePointerAndDarkerWhilePressed)
{
    const auto normal = decode (BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Normal_pngSize);
    const auto hover = decode (BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Hover_pngSize);
    const auto pressed = decode (BinaryData::Zarvik_DriverUpdateUtility_Button_Press_png, BinaryData::Zarvik_DriverUpdateUtility_Button_Press_pngSize);

    // A strip of the face left of the caption.
    const juce::Rectangle<int> face (4, 4, 8, 20);
    EXPECT_GT (averageBrightness (hover, face), averageBrightness (normal, face) + 10.0f);
    EXPECT_GT (averageBrightness (normal, face), averageBrightness (pressed, face) + 10.0f);

    for (const auto& button : { normal, hover, pressed })
    {
        // Rounded: the corners are see-through, the face is opaque.
        EXPECT_EQ (button.getPixelAt (0, 0).getAlpha(), 0);
        EXPECT_EQ (button.getPixelAt (149, 0).getAlpha(), 0);
        EXPECT_EQ (button.getPixelAt (75, 3).getAlpha(), 255);

        // The caption: white letters across the middle of the face.
        int captionPixels = 0;
        for (int y = 8; y < 22; ++y)
            for (int x = 20; x < 130; ++x)
                if (brightness (button.getPixelAt (x, y)) > 240.0f)
                    ++captionPixels;

        EXPECT_GT (captionPixels, 150);
    }
}

TEST (ArtworkTool, PaintsExactlyTheCommittedPictures)
{
    const auto resources = juce::File (ZARVIK_SOURCE_DIR).getChildFile ("resources");
    const ScratchFolder output;

    const auto run = runArtworkTool (output.folder);
    ASSERT_EQ (run.exitCode, 0u) << run.output;
    EXPECT_EQ (output.folder.getNumberOfChildFiles (juce::File::findFiles), (int) std::size (embeddedPictures));

    for (const auto& picture : embeddedPictures)
    {
        SCOPED_TRACE (picture.fileName);
        const auto painted = juce::ImageFileFormat::loadFrom (output.folder.getChildFile (picture.fileName));
        const auto committed = juce::ImageFileFormat::loadFrom (resources.getChildFile (picture.fileName));
        ASSERT_TRUE (painted.isValid());
        ASSERT_EQ (painted.getBounds(), committed.getBounds());

        // Committed pictures must be regenerated whenever the tool changes.
        int differing = 0;
        for (int y = 0; y < painted.getHeight(); ++y)
            for (int x = 0; x < painted.getWidth(); ++x)
                if (painted.getPixelAt (x, y) != committed.getPixelAt (x, y))
                    ++differing;

        EXPECT_EQ (differing, 0) << "run: zarvik-artwork resources";

        // And the build embeds the committed file as it is.
        juce::MemoryBlock onDisk;
        ASSERT_TRUE (resources.getChildFile (picture.fileName).loadFileAsData (onDisk));
        EXPECT_EQ (onDisk, juce::MemoryBlock (picture.data, (size_t) picture.size));
    }
}

TEST (ArtworkTool, RefusesAMissingFolderAndWritesNothing)
{
    const auto missing = juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("zarvik-artwork-missing", {});

    const auto run = runArtworkTool (missing);

    EXPECT_EQ (run.exitCode, 1u);
    EXPECT_TRUE (run.output.contains ("cannot write to " + missing.getFullPathName())) << run.output;
    EXPECT_FALSE (missing.exists());
}
