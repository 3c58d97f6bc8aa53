#include "ControllerDrawing.h"

#include <cmath>

namespace ControllerDrawing
{
namespace
{
    using Colour = juce::Colour;
    using Rect = juce::Rectangle<float>;
    using Point = juce::Point<float>;

    // The front edge that shows below the top face, and the corner radius of the chassis.
    constexpr float frontDepth = 22.0f;
    constexpr float bodyCorner = 18.0f;
    constexpr float designHeight = designDepth + frontDepth;

    const Colour accentBlue { 0xff4fb3f0 };
    const Colour metalLight { 0xffc9cdd2 };
    const Colour slotColour { 0xff0a0b0d };
    const Colour unlit { 0xff34373c };

    Rect circle (Point centre, float radius)
    {
        return { centre.x - radius, centre.y - radius, radius * 2.0f, radius * 2.0f };
    }

    Point onCircle (Point centre, float radius, float angle)
    {
        return centre.getPointOnCircumference (radius, angle);
    }

    void fillVertical (juce::Graphics& g, Rect area, Colour top, Colour bottom, float corner)
    {
        g.setGradientFill (juce::ColourGradient::vertical (top, area.getY(), bottom, area.getBottom()));
        g.fillRoundedRectangle (area, corner);
    }

    // A rotary control: a dark skirt, a brushed cap lit from the upper left and
    // a white pointer; `ring` adds a coloured light ring around it.
    void drawKnob (juce::Graphics& g, Point centre, float radius, float angle, Colour ring = {})
    {
        g.setColour (juce::Colours::black.withAlpha (0.45f));
        g.fillEllipse (circle (centre.translated (0.0f, radius * 0.25f), radius * 1.05f));

        if (! ring.isTransparent())
        {
            g.setColour (ring);
            g.drawEllipse (circle (centre, radius + 2.6f), 1.6f);
        }

        g.setColour (Colour (0xff141518));
        g.fillEllipse (circle (centre, radius));

        const auto cap = circle (centre, radius * 0.78f);
        g.setGradientFill (juce::ColourGradient (Colour (0xff9aa0a7), cap.getX(), cap.getY(), Colour (0xff3a3e44), cap.getRight(), cap.getBottom(), false));
        g.fillEllipse (cap);

        g.setColour (juce::Colours::white.withAlpha (0.18f));
        g.drawEllipse (cap.reduced (radius * 0.15f), 0.6f);

        g.setColour (juce::Colours::white);
        g.drawLine ({ onCircle (centre, radius * 0.2f, angle), onCircle (centre, radius * 0.74f, angle) }, juce::jmax (1.0f, radius * 0.2f));
    }

    // A small rubber button, lit in `colour` or dark when the colour is transparent.
    void drawSmallButton (juce::Graphics& g, Rect area, Colour colour)
    {
        g.setColour (juce::Colours::black.withAlpha (0.5f));
        g.fillRoundedRectangle (area.translated (0.0f, 1.2f), 2.0f);

        if (colour.isTransparent())
        {
            fillVertical (g, area, Colour (0xff50545b), Colour (0xff3a3d42), 2.0f);
            return;
        }

        fillVertical (g, area, colour.brighter (0.35f), colour.darker (0.25f), 2.0f);
        g.setColour (colour.withAlpha (0.25f));
        g.drawRoundedRectangle (area.expanded (1.2f), 3.0f, 1.4f);
    }

    // A lit performance pad: coloured rubber that glows brightest in the middle.
    void drawPad (juce::Graphics& g, Rect area, Colour colour)
    {
        g.setColour (juce::Colours::black.withAlpha (0.6f));
        g.fillRoundedRectangle (area.translated (0.0f, 1.5f), 3.0f);

        g.setGradientFill (juce::ColourGradient (colour.brighter (0.6f), area.getCentreX(), area.getCentreY(), colour.darker (0.35f), area.getX(), area.getY(), true));
        g.fillRoundedRectangle (area, 3.0f);

        g.setColour (juce::Colours::white.withAlpha (0.25f));
        g.drawLine (area.getX() + 3.0f, area.getY() + 1.2f, area.getRight() - 3.0f, area.getY() + 1.2f, 0.8f);

        g.setColour (juce::Colours::black.withAlpha (0.55f));
        g.drawRoundedRectangle (area, 3.0f, 0.8f);
    }

    // A fader: a dark slot with scale marks and a metal cap across it.
    void drawFader (juce::Graphics& g, Point from, Point to, float capPosition, bool vertical)
    {
        const auto slotWidth = 3.0f;
        const auto slot = vertical ? Rect (from.x - slotWidth * 0.5f, from.y, slotWidth, to.y - from.y)
                                   : Rect (from.x, from.y - slotWidth * 0.5f, to.x - from.x, slotWidth);

        g.setColour (Colour (0xff50545b));
        for (int i = 0; i <= 8; ++i)
        {
            const auto t = (float) i / 8.0f;
            if (vertical)
            {
                const auto y = from.y + t * (to.y - from.y);
                g.drawLine (from.x - 9.0f, y, from.x - 5.0f, y, 0.8f);
            }
            else
            {
                const auto x = from.x + t * (to.x - from.x);
                g.drawLine (x, from.y - 8.0f, x, from.y - 5.0f, 0.8f);
            }
        }

        g.setColour (slotColour);
        g.fillRoundedRectangle (slot, 1.5f);

        const auto centre = from + (to - from) * capPosition;
        const auto cap = vertical ? Rect (18.0f, 10.0f).withCentre (centre) : Rect (10.0f, 18.0f).withCentre (centre);

        g.setColour (juce::Colours::black.withAlpha (0.5f));
        g.fillRoundedRectangle (cap.translated (0.0f, 2.5f), 2.0f);
        fillVertical (g, cap, Colour (0xffe2e5e8), Colour (0xff80858c), 2.0f);

        g.setColour (Colour (0xff202226));
        if (vertical)
            g.drawLine (cap.getX() + 2.0f, centre.y, cap.getRight() - 2.0f, centre.y, 1.2f);
        else
            g.drawLine (centre.x, cap.getY() + 2.0f, centre.x, cap.getBottom() - 2.0f, 1.2f);
    }

    // A deterministic stand-in for the loaded track's waveform: loud beats with
    // quieter passages between, 0 to 1.
    float waveformLevel (float t, float phase)
    {
        const auto beat = std::pow (std::abs (std::sin (t * 38.0f + phase)), 3.0f);
        const auto phrase = 0.55f + 0.45f * std::sin (t * 4.3f + phase * 2.0f);
        return juce::jlimit (0.08f, 1.0f, 0.18f + 0.82f * beat * phrase);
    }

    void drawScreen (juce::Graphics& g, Rect area, float phase, float position)
    {
        g.setColour (Colour (0xff0b0c0e));
        g.fillRoundedRectangle (area.expanded (4.0f), 5.0f);

        g.setGradientFill (juce::ColourGradient::vertical (Colour (0xff0f1a2c), area.getY(), Colour (0xff0a111d), area.getBottom()));
        g.fillRect (area);

        // Header: track title and tempo read-out.
        g.setColour (Colour (0xffc8d2de).withAlpha (0.75f));
        g.fillRect (Rect (area.getX() + 5.0f, area.getY() + 5.0f, 46.0f, 4.0f));
        g.setColour (Colour (0xff8a97a8).withAlpha (0.6f));
        g.fillRect (Rect (area.getX() + 5.0f, area.getY() + 11.0f, 30.0f, 3.0f));
        g.setColour (accentBlue);
        g.fillRect (Rect (area.getRight() - 33.0f, area.getY() + 5.0f, 28.0f, 6.0f));

        // Scrolling waveform around the playhead.
        const auto waveTop = area.getY() + 19.0f;
        const auto waveHeight = 30.0f;
        const auto middle = waveTop + waveHeight * 0.5f;
        const auto playhead = area.getCentreX();

        for (auto x = area.getX() + 2.0f; x < area.getRight() - 2.0f; x += 1.6f)
        {
            const auto level = waveformLevel ((x - area.getX()) / area.getWidth() + position, phase);
            const auto half = level * waveHeight * 0.5f;
            g.setColour (x < playhead ? Colour (0xff2d6f9c) : accentBlue);
            g.fillRect (Rect (x, middle - half, 1.1f, half * 2.0f));
            g.setColour (juce::Colours::white.withAlpha (0.55f));
            g.fillRect (Rect (x, middle - half * 0.35f, 1.1f, half * 0.7f));
        }

        g.setColour (Colour (0xffff5040));
        g.fillRect (Rect (playhead - 0.6f, waveTop - 1.0f, 1.2f, waveHeight + 2.0f));

        // Track overview with the played part highlighted.
        const auto overview = Rect (area.getX() + 5.0f, area.getBottom() - 14.0f, area.getWidth() - 10.0f, 7.0f);
        for (auto x = overview.getX(); x < overview.getRight(); x += 1.4f)
        {
            const auto t = (x - overview.getX()) / overview.getWidth();
            const auto half = waveformLevel (t * 0.37f, phase + 1.0f) * overview.getHeight() * 0.5f;
            g.setColour (t < position ? Colour (0xff6f7b8a) : Colour (0xff3a4452));
            g.fillRect (Rect (x, overview.getCentreY() - half, 0.9f, half * 2.0f));
        }

        g.setColour (juce::Colours::white.withAlpha (0.85f));
        g.fillRect (Rect (overview.getX() + overview.getWidth() * position - 0.5f, overview.getY() - 1.0f, 1.0f, overview.getHeight() + 2.0f));

        // Glare across the glass.
        juce::Path glare;
        glare.startNewSubPath (area.getTopLeft());
        glare.lineTo (area.getX() + area.getWidth() * 0.55f, area.getY());
        glare.lineTo (area.getX() + area.getWidth() * 0.25f, area.getBottom());
        glare.lineTo (area.getBottomLeft());
        glare.closeSubPath();
        g.setColour (juce::Colours::white.withAlpha (0.05f));
        g.fillPath (glare);
    }

    void drawJogWheel (juce::Graphics& g, Point centre, float markerAngle)
    {
        const auto outer = 66.0f;

        g.setColour (juce::Colours::black.withAlpha (0.5f));
        g.fillEllipse (circle (centre.translated (0.0f, 5.0f), outer + 2.0f));

        // Brushed metal rim with fine grip ridges.
        const auto rim = circle (centre, outer);
        g.setGradientFill (juce::ColourGradient (Colour (0xffb4b9bf), rim.getX(), rim.getY(), Colour (0xff3d4147), rim.getRight(), rim.getBottom(), false));
        g.fillEllipse (rim);

        g.setColour (juce::Colours::black.withAlpha (0.28f));
        for (int i = 0; i < 120; ++i)
        {
            const auto angle = juce::MathConstants<float>::twoPi * (float) i / 120.0f;
            g.drawLine ({ onCircle (centre, outer - 5.5f, angle), onCircle (centre, outer - 0.5f, angle) }, 0.7f);
        }

        g.setColour (Colour (0xff121315));
        g.fillEllipse (circle (centre, outer - 7.0f));

        // Touch-sensitive platter with fine concentric grooves.
        const auto platter = circle (centre, outer - 10.0f);
        g.setGradientFill (juce::ColourGradient (Colour (0xff31353b), centre.x, centre.y - 20.0f, Colour (0xff17191c), platter.getX(), platter.getBottom(), true));
        g.fillEllipse (platter);

        g.setColour (juce::Colours::white.withAlpha (0.045f));
        for (auto r = 24.0f; r < outer - 12.0f; r += 3.5f)
            g.drawEllipse (circle (centre, r), 0.6f);

        // Light ring around the platter, brightest at the playing position.
        const auto ringRadius = outer - 13.0f;
        g.setColour (accentBlue.withAlpha (0.3f));
        g.drawEllipse (circle (centre, ringRadius), 2.0f);

        juce::Path arc;
        arc.addCentredArc (centre.x, centre.y, ringRadius, ringRadius, 0.0f, markerAngle - 0.55f, markerAngle + 0.55f, true);
        g.setColour (accentBlue.withAlpha (0.35f));
        g.strokePath (arc, juce::PathStrokeType (5.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
        g.setColour (accentBlue.brighter (0.3f));
        g.strokePath (arc, juce::PathStrokeType (2.2f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));

        // Sheen on the upper left of the platter.
        g.setGradientFill (juce::ColourGradient (juce::Colours::white.withAlpha (0.09f), centre.x - 30.0f, centre.y - 36.0f, juce::Colours::transparentWhite, centre.x, centre.y, true));
        g.fillEllipse (platter);

        // Metal centre cap with its position marker.
        const auto cap = circle (centre, 19.0f);
        g.setColour (juce::Colours::black.withAlpha (0.5f));
        g.fillEllipse (cap.translated (0.0f, 2.0f));
        g.setGradientFill (juce::ColourGradient (metalLight, cap.getX(), cap.getY(), Colour (0xff6c7178), cap.getRight(), cap.getBottom(), false));
        g.fillEllipse (cap);
        g.setColour (juce::Colours::black.withAlpha (0.12f));
        for (auto r = 5.0f; r < 18.0f; r += 3.0f)
            g.drawEllipse (circle (centre, r), 0.5f);
        g.setColour (Colour (0xff1d1f23));
        g.drawLine ({ onCircle (centre, 9.0f, markerAngle), onCircle (centre, 17.0f, markerAngle) }, 2.0f);
    }

    // One deck: screen, transport and loop buttons, jog wheel, pads and tempo fader.
    // `originX` is the deck's left edge; the right deck is the left one moved across.
    void drawDeck (juce::Graphics& g, float originX, float tempoX, bool rightDeck)
    {
        const auto centreX = originX + 115.0f;

        drawScreen (g, { originX + 42.0f, 16.0f, 146.0f, 68.0f }, rightDeck ? 2.1f : 0.0f, rightDeck ? 0.62f : 0.34f);

        for (int i = 0; i < 4; ++i)
            drawSmallButton (g, { originX + 52.0f + (float) i * 33.0f, 93.0f, 26.0f, 7.0f }, i == 3 ? accentBlue : Colour());

        drawJogWheel (g, { centreX, 180.0f }, rightDeck ? 2.2f : -0.9f);

        const Colour topRow[] { Colour (0xffe8453c), Colour (0xfff5a623), Colour (0xff4fb3f0), Colour (0xff7ed321) };
        const Colour bottomRow[] { Colour (0xff8e6cf0), Colour (0xff8e6cf0), Colour (0xff8e6cf0), Colour (0xff8e6cf0) };
        const Colour rightTopRow[] { Colour (0xff4fb3f0), Colour (0xff37d6c2), Colour (0xfff5a623), Colour (0xffe84393) };

        for (int i = 0; i < 4; ++i)
        {
            const auto x = originX + 49.0f + (float) i * 34.0f;
            drawPad (g, { x, 256.0f, 30.0f, 18.0f }, rightDeck ? rightTopRow[i] : topRow[i]);
            drawPad (g, { x, 279.0f, 30.0f, 18.0f }, i == 1 ? bottomRow[i].brighter (0.4f) : bottomRow[i].darker (0.9f));
        }

        // Cue and play, lit in their usual colours.
        const auto transportX = originX + 24.0f;
        for (const auto& [y, colour] : { std::pair { 265.0f, Colour (0xfff5a623) }, std::pair { 288.0f, Colour (0xff7ed321) } })
        {
            const auto button = circle ({ transportX, y }, 9.5f);
            g.setColour (juce::Colours::black.withAlpha (0.55f));
            g.fillEllipse (button.translated (0.0f, 1.5f));
            g.setColour (Colour (0xff1b1d20));
            g.fillEllipse (button);
            g.setColour (colour);
            g.drawEllipse (button.reduced (1.2f), 1.8f);
        }

        drawSmallButton (g, { transportX - 10.0f, 236.0f, 20.0f, 8.0f }, Colour());

        drawFader (g, { tempoX, 128.0f }, { tempoX, 232.0f }, rightDeck ? 0.42f : 0.55f, true);
        drawSmallButton (g, { tempoX - 9.0f, 242.0f, 18.0f, 7.0f }, Colour());
        drawSmallButton (g, { tempoX - 9.0f, 103.0f, 18.0f, 7.0f }, rightDeck ? Colour() : accentBlue);
    }

    void drawMeter (juce::Graphics& g, float x, int litSegments)
    {
        constexpr int segments = 14;
        for (int i = 0; i < segments; ++i)
        {
            const auto y = 280.0f - (float) i * 6.0f;
            const auto colour = i >= 12 ? Colour (0xffff4d3d) : i >= 9 ? Colour (0xffffc83d)
                                                                       : Colour (0xff5bd35b);
            g.setColour (i < litSegments ? colour : unlit);
            g.fillRect (Rect (x - 3.0f, y - 4.0f, 6.0f, 4.0f));
        }
    }

    void drawMixer (juce::Graphics& g, const juce::Font& printFont)
    {
        const auto plate = Rect (228.0f, 8.0f, 144.0f, 306.0f);
        fillVertical (g, plate, Colour (0xff2d3036), Colour (0xff25282c), 6.0f);
        g.setColour (Colour (0xff474b52));
        g.drawRoundedRectangle (plate, 6.0f, 1.0f);

        // The brand printed on the mixer.
        g.setColour (Colour (0xffb9bec5));
        g.setFont (printFont);
        g.drawText ("ZARVIK", Rect (250.0f, 13.0f, 100.0f, 10.0f), juce::Justification::centred, false);

        drawKnob (g, { 300.0f, 42.0f }, 12.0f, 0.6f);
        drawSmallButton (g, { 246.0f, 38.0f, 22.0f, 9.0f }, Colour());
        drawSmallButton (g, { 332.0f, 38.0f, 22.0f, 9.0f }, Colour());

        const float channels[] { 268.0f, 332.0f };
        const float knobRows[] { 72.0f, 99.0f, 126.0f, 153.0f };
        const float angles[][4] { { 0.4f, -0.3f, 0.0f, 0.5f }, { 0.2f, 0.0f, -0.5f, 0.3f } };

        for (int c = 0; c < 2; ++c)
        {
            for (int k = 0; k < 4; ++k)
                drawKnob (g, { channels[c], knobRows[k] }, 9.0f, angles[c][k]);

            drawKnob (g, { channels[c], 181.0f }, 9.5f, c == 0 ? -0.8f : 0.0f, accentBlue.withAlpha (0.85f));
            drawSmallButton (g, Rect (22.0f, 9.0f).withCentre ({ channels[c], 205.0f }), c == 0 ? accentBlue : Colour());
            drawFader (g, { channels[c], 222.0f }, { channels[c], 288.0f }, c == 0 ? 0.2f : 0.35f, true);
        }

        drawKnob (g, { 300.0f, 78.0f }, 8.0f, 0.9f);
        drawKnob (g, { 300.0f, 108.0f }, 7.0f, -0.4f);
        drawKnob (g, { 300.0f, 136.0f }, 7.0f, 0.3f);

        drawMeter (g, 294.0f, 10);
        drawMeter (g, 306.0f, 8);

        drawFader (g, { 272.0f, 304.0f }, { 328.0f, 304.0f }, 0.5f, false);
    }
}

juce::Rectangle<float> getFittedBounds (juce::Rectangle<float> area, float tilt)
{
    const auto scale = juce::jmin (area.getWidth() / designWidth, area.getHeight() / (designHeight * tilt));
    return Rect (designWidth * scale, designHeight * scale * tilt).withCentre (area.getCentre());
}

void draw (juce::Graphics& g, juce::Rectangle<float> area, float tilt)
{
    const auto bounds = getFittedBounds (area, tilt);
    const auto scale = bounds.getWidth() / designWidth;
    const auto toScreen = juce::AffineTransform::scale (scale, scale * tilt).translated (bounds.getX(), bounds.getY());

    juce::Path chassis;
    chassis.addRoundedRectangle (0.0f, 0.0f, designWidth, designHeight, bodyCorner);

    // Soft shadow on the surface the unit stands on, drawn in screen pixels so its
    // softness does not depend on the drawing's scale.
    {
        juce::Path footprint (chassis);
        footprint.applyTransform (toScreen);
        const auto radius = juce::roundToInt (juce::jmax (4.0f, bounds.getHeight() * 0.09f));
        juce::DropShadow (juce::Colours::black.withAlpha (0.45f), radius, { 0, juce::roundToInt (radius * 0.45f) }).drawForPath (g, footprint);
    }

    juce::Graphics::ScopedSaveState state (g);
    g.addTransform (toScreen);

    // Chassis: the front edge first, then the top face over it.
    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xff2a2d31), designDepth - bodyCorner, Colour (0xff0d0e10), designHeight));
    g.fillPath (chassis);

    const auto top = Rect (0.0f, 0.0f, designWidth, designDepth);
    fillVertical (g, top, Colour (0xff3a3e44), Colour (0xff202327), bodyCorner);
    g.setGradientFill (juce::ColourGradient::vertical (juce::Colours::white.withAlpha (0.07f), 0.0f, juce::Colours::transparentWhite, designDepth * 0.5f));
    g.fillRoundedRectangle (top, bodyCorner);
    g.setColour (Colour (0xff5a5f66));
    g.drawRoundedRectangle (top.reduced (0.6f), bodyCorner, 1.2f);

    // A thin light line along the front edge.
    g.setColour (accentBlue.withAlpha (0.55f));
    g.fillRect (Rect (designWidth * 0.5f - 60.0f, designDepth + frontDepth * 0.45f, 120.0f, 1.6f));

    g.setColour (Colour (0xff1a1c1f));
    g.drawLine (225.0f, 14.0f, 225.0f, designDepth - 14.0f, 1.0f);
    g.drawLine (375.0f, 14.0f, 375.0f, designDepth - 14.0f, 1.0f);

    drawDeck (g, 0.0f, 205.0f, false);
    drawDeck (g, 370.0f, 575.0f, true);
    drawMixer (g, juce::Font ("DejaVu Sans", "Bold", 8.0f).withExtraKerningFactor (0.25f));
}
}
