#pragma once

#include <juce_graphics/juce_graphics.h>

#include <functional>
#include <vector>

/** Paints the eight pictures of the updater: the main window's background, the
    three states of the "Update Firmware" button, the two hardware LEDs, the
    application icon and the about screen.

    Painting is deterministic: the same build on the same fonts gives the same
    pixels. Every function returns a new image that the caller owns; they may be
    called on any thread once JUCE's runtime is up.
*/
namespace ArtworkPainter
{
/** The typeface every text of the artwork uses; it is the default sans-serif
        typeface of a plain Debian desktop. */
constexpr const char* typefaceName = "DejaVu Sans";

enum class ButtonState
{
    normal,
    hover,
    pressed
};

juce::Image paintBackground();
juce::Image paintButton (ButtonState state);
juce::Image paintLed (bool hardwarePresent);
juce::Image paintIcon();
juce::Image paintAboutScreen();

/** One picture: the file name it is stored under and how to paint it. */
struct Picture
{
    juce::String fileName;
    int width;
    int height;
    std::function<juce::Image()> paint;
};

/** All eight pictures, in the order the tool writes them. */
std::vector<Picture> getPictures();

/** Returns an empty string when the typeface is installed in the regular and
        bold styles, else a message saying what is missing. Without it JUCE would
        quietly substitute another face and the pictures would change. */
juce::String checkTypeface();
}
