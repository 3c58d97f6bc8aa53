#pragma once

#include <juce_graphics/juce_graphics.h>

/** The vector drawing of the two-deck controller that the pictures show.

    The unit is drawn in its own design units and scaled into whatever area it
    is given, so the same drawing serves the small header of the main window and
    the larger about screen. Pure drawing: any thread, no shared state.
*/
namespace ControllerDrawing
{
/** Width and depth of the controller's top face in design units. */
constexpr float designWidth = 600.0f;
constexpr float designDepth = 320.0f;

/** How much the top face is foreshortened, as if seen from the front and above. */
constexpr float defaultTilt = 0.8f;

/** Returns the on-screen bounds that `draw` would use inside `area`: the
        largest controller with the right proportions, centred in it. */
juce::Rectangle<float> getFittedBounds (juce::Rectangle<float> area, float tilt = defaultTilt);

/** Draws the controller, its shadow included, as large as fits into `area`. */
void draw (juce::Graphics& g, juce::Rectangle<float> area, float tilt = defaultTilt);
}
