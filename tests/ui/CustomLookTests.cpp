#include "ui/CustomLook.h"

#include <gtest/gtest.h>

namespace
{
const juce::Colour ground (0xFF2040E0);

struct Rendered
{
    juce::Image image;

    juce::Colour at (int x, int y) const { return image.getPixelAt (x, y); }
};

// Each colour channel within `tolerance` of the expected one.
::testing::AssertionResult near (juce::Colour actual, juce::Colour expected, int tolerance = 2)
{
    const auto close = [tolerance] (juce::uint8 a, juce::uint8 b)
    { return std::abs ((int) a - (int) b) <= tolerance; };

    if (close (actual.getRed(), expected.getRed()) && close (actual.getGreen(), expected.getGreen())
        && close (actual.getBlue(), expected.getBlue()) && close (actual.getAlpha(), expected.getAlpha()))
        return ::testing::AssertionSuccess();

    return ::testing::AssertionFailure() << "pixel " << actual.toDisplayString (true) << " is not near " << expected.toDisplayString (true);
}

// The bar drawn over an opaque ground, as it is drawn over the window's background picture.
Rendered drawBar (int width, int height, double progress, const juce::String& text = {}, juce::Colour barBackground = juce::Colours::transparentBlack)
{
    CustomLook look;
    double value = progress;
    juce::ProgressBar bar (value);
    bar.setColour (juce::ProgressBar::backgroundColourId, barBackground);

    juce::Image image (juce::Image::ARGB, width, height, true);
    juce::Graphics g (image);
    g.fillAll (ground);
    look.drawProgressBar (g, bar, width, height, progress, text);
    return { image };
}

// The box of pixels whose brightness is below `threshold`; empty when there are none.
juce::Rectangle<int> darkPixels (const juce::Image& image, float threshold = 0.3f)
{
    juce::Rectangle<int> box;
    bool any = false;

    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (image.getPixelAt (x, y).getPerceivedBrightness() < threshold)
            {
                const juce::Rectangle<int> pixel (x, y, 1, 1);
                box = any ? box.getUnion (pixel) : pixel;
                any = true;
            }

    return box;
}

int countPixels (const juce::Image& image, juce::Colour colour)
{
    int count = 0;

    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            count += near (image.getPixelAt (x, y), colour) ? 1 : 0;

    return count;
}
}

TEST (CustomLookProgressBar, AFullBarIsAVerticalRedGradientInsideAOnePixelMargin)
{
    const auto bar = drawBar (100, 200, 1.0);

    // Top row of the gradient: the start colour; the top 30 % blends into the body colour.
    EXPECT_TRUE (near (bar.at (50, 1), juce::Colour (CustomLook::barTopColour), 3));
    EXPECT_TRUE (near (bar.at (50, 30), juce::Colour (0xFFC81F40), 3)); // half way through the blend
    EXPECT_TRUE (near (bar.at (50, 100), juce::Colour (CustomLook::barBodyColour)));

    // The last stop only touches the very end: the bottom rows keep the body colour.
    EXPECT_TRUE (near (bar.at (50, 198), juce::Colour (CustomLook::barBodyColour), 3));

    // It is vertical: every column of a row has the same colour.
    for (int x = 1; x < 99; ++x)
        ASSERT_EQ (bar.at (x, 20), bar.at (50, 20)) << "column " << x;

    // The margin: the ground shows on every side.
    for (int y = 0; y < 200; ++y)
    {
        ASSERT_EQ (bar.at (0, y), ground) << "row " << y;
        ASSERT_EQ (bar.at (99, y), ground) << "row " << y;
    }

    for (int x = 0; x < 100; ++x)
    {
        ASSERT_EQ (bar.at (x, 0), ground) << "column " << x;
        ASSERT_EQ (bar.at (x, 199), ground) << "column " << x;
    }
}

TEST (CustomLookProgressBar, FillsInProportionToProgress)
{
    // 100 inner pixels: progress 0.25 fills columns 1 to 25.
    const auto bar = drawBar (102, 24, 0.25);

    EXPECT_TRUE (near (bar.at (1, 12), juce::Colour (CustomLook::barBodyColour)));
    EXPECT_TRUE (near (bar.at (25, 12), juce::Colour (CustomLook::barBodyColour)));
    EXPECT_EQ (bar.at (26, 12), ground);
    EXPECT_EQ (bar.at (100, 12), ground);
}

TEST (CustomLookProgressBar, DrawsNoGradientOutsideZeroToOne)
{
    for (auto progress : { 0.0, -1.0, 1.5, std::numeric_limits<double>::quiet_NaN() })
    {
        const auto bar = drawBar (120, 24, progress);
        EXPECT_EQ (countPixels (bar.image, ground), 120 * 24) << "progress " << progress;
    }
}

TEST (CustomLookProgressBar, ABarTwoPixelsWideOrLessShowsNoGradient)
{
    for (auto width : { 1, 2 })
    {
        const auto bar = drawBar (width, 24, 1.0);
        EXPECT_EQ (countPixels (bar.image, ground), width * 24) << "width " << width;
    }
}

TEST (CustomLookProgressBar, FillsTheGroundWithTheBarsBackgroundColour)
{
    const auto bar = drawBar (100, 24, 0.5, {}, juce::Colours::white);

    EXPECT_EQ (bar.at (0, 0), juce::Colours::white);
    EXPECT_EQ (bar.at (80, 12), juce::Colours::white);
    EXPECT_TRUE (near (bar.at (20, 12), juce::Colour (CustomLook::barBodyColour)));
}

TEST (CustomLookProgressBar, WritesItsTextInBlackCentredOverTheBar)
{
    for (auto progress : { 0.0, 0.6, -1.0 })
    {
        const auto bar = drawBar (300, 30, progress, "50%", juce::Colours::white);
        const auto text = darkPixels (bar.image, 0.15f);

        ASSERT_FALSE (text.isEmpty()) << "progress " << progress;
        EXPECT_NEAR (text.getCentreX(), 150, 2) << "progress " << progress;
        EXPECT_NEAR (text.getCentreY(), 15, 2) << "progress " << progress;
        EXPECT_GT (text.getHeight(), 8) << "text height follows the bar's height";

        // The darkest pixel of the text is black, whatever lies under it.
        auto darkest = 1.0f;
        for (int y = text.getY(); y < text.getBottom(); ++y)
            for (int x = text.getX(); x < text.getRight(); ++x)
                darkest = juce::jmin (darkest, bar.at (x, y).getPerceivedBrightness());

        EXPECT_LT (darkest, 0.05f) << "progress " << progress;
    }
}

TEST (CustomLookProgressBar, AnEmptyTextDrawsNothingOverTheBar)
{
    const auto withText = drawBar (300, 30, 0.0, {}, juce::Colours::white);
    EXPECT_TRUE (darkPixels (withText.image).isEmpty());
}

//==============================================================================
namespace
{
juce::Image drawToggle (bool ticked, bool enabled, const juce::String& text = {})
{
    CustomLook look;
    juce::ToggleButton button (text);
    button.setSize (120, 20);
    button.setToggleState (ticked, juce::dontSendNotification);
    button.setEnabled (enabled);

    juce::Image image (juce::Image::ARGB, 120, 20, true);
    juce::Graphics g (image);
    g.fillAll (juce::Colours::white);
    look.drawToggleButton (g, button, false, false);
    return image;
}

bool isBlack (juce::Colour c) { return c.getPerceivedBrightness() < 0.1f; }
}

TEST (CustomLookToggle, AnUntickedBoxIsABlackSquareOutlineAtTheButtonsOrigin)
{
    // Height 20: font 15, box 16.5 pixels, drawn from (0, 0) although it is told x 4.
    const auto image = drawToggle (false, true);

    for (int i = 0; i < 16; ++i)
    {
        ASSERT_TRUE (isBlack (image.getPixelAt (i, 0))) << "top edge " << i;
        ASSERT_TRUE (isBlack (image.getPixelAt (0, i))) << "left edge " << i;
    }

    EXPECT_FALSE (isBlack (image.getPixelAt (8, 8))) << "no cross when unticked";
    EXPECT_FALSE (isBlack (image.getPixelAt (4, 4)));
    EXPECT_EQ (image.getPixelAt (18, 10), juce::Colours::white) << "nothing right of the box";
    EXPECT_EQ (image.getPixelAt (8, 18), juce::Colours::white) << "nothing below the box";
}

TEST (CustomLookToggle, ATickedBoxHasBothDiagonals)
{
    const auto image = drawToggle (true, true);

    for (int i = 3; i < 14; ++i)
    {
        EXPECT_LT (image.getPixelAt (i, i).getPerceivedBrightness(), 0.5f) << "falling diagonal at " << i;
        EXPECT_LT (image.getPixelAt (i, 15 - i).getPerceivedBrightness() + image.getPixelAt (i, 16 - i).getPerceivedBrightness(), 1.2f) << "rising diagonal at " << i;
    }

    EXPECT_FALSE (isBlack (image.getPixelAt (4, 12)));
}

TEST (CustomLookToggle, ADisabledButtonDrawsItsBoxFullyAndItsTextAtHalfOpacity)
{
    const auto enabled = drawToggle (false, true, "MMMM");
    const auto disabled = drawToggle (false, false, "MMMM");

    EXPECT_TRUE (isBlack (disabled.getPixelAt (0, 8)));
    EXPECT_TRUE (isBlack (disabled.getPixelAt (8, 0)));

    // The text starts right of the box (16 + 5) and is black when enabled, mid grey when disabled.
    const juce::Rectangle<int> textArea (21, 0, 97, 20);
    const auto darkestIn = [&textArea] (const juce::Image& image)
    {
        auto darkest = 1.0f;
        for (int y = textArea.getY(); y < textArea.getBottom(); ++y)
            for (int x = textArea.getX(); x < textArea.getRight(); ++x)
                darkest = juce::jmin (darkest, image.getPixelAt (x, y).getPerceivedBrightness());
        return darkest;
    };

    EXPECT_LT (darkestIn (enabled), 0.05f);
    EXPECT_NEAR (darkestIn (disabled), 0.5f, 0.05f);

    for (int y = 0; y < 20; ++y)
        for (int x = 17; x < 21; ++x)
            ASSERT_EQ (enabled.getPixelAt (x, y), juce::Colours::white) << "gap between box and text at " << x << ", " << y;
}
