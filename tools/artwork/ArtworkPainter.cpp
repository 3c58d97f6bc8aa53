#include "ArtworkPainter.h"

#include "ControllerDrawing.h"

namespace ArtworkPainter
{
namespace
{
    using Colour = juce::Colour;
    using Rect = juce::Rectangle<float>;

    const Colour ink { 0xff1d2126 };
    const Colour brandBlue { 0xff3c9fdc };
    const Colour ruleLight { 0xff9ad0f0 };
    const Colour ruleDark { 0xff72b9e6 };

    juce::Font makeFont (float height, bool bold, float tracking = 0.0f)
    {
        return juce::Font (typefaceName, bold ? "Bold" : "Book", height).withExtraKerningFactor (tracking);
    }

    // The "Zarvik" wordmark: bold, tightly set, the dot of the i in the brand's blue.
    // Returns the wordmark's width.
    float drawWordmark (juce::Graphics& g, juce::Point<float> baselineStart, float height, Colour colour)
    {
        juce::GlyphArrangement glyphs;
        glyphs.addLineOfText (makeFont (height, true, -0.03f), "Zarvik", baselineStart.x, baselineStart.y);

        // The top of the v marks the x-height; the dot of the i sits above it.
        float xHeightTop = baselineStart.y;
        for (int i = 0; i < glyphs.getNumGlyphs(); ++i)
        {
            if (glyphs.getGlyph (i).getCharacter() == 'v')
            {
                juce::Path v;
                glyphs.getGlyph (i).createPath (v);
                xHeightTop = v.getBounds().getY();
            }
        }

        for (int i = 0; i < glyphs.getNumGlyphs(); ++i)
        {
            const auto& glyph = glyphs.getGlyph (i);
            juce::Path outline;
            glyph.createPath (outline);

            g.setGradientFill (juce::ColourGradient::vertical (colour.brighter (0.25f), baselineStart.y - height * 0.75f, colour, baselineStart.y));

            if (glyph.getCharacter() != 'i')
            {
                g.fillPath (outline);
                continue;
            }

            // The gap between dot and stem lies just above the x-height.
            const auto splitRow = juce::roundToInt (xHeightTop - height * 0.04f);
            const auto area = outline.getBounds().getSmallestIntegerContainer();
            {
                juce::Graphics::ScopedSaveState state (g);
                g.reduceClipRegion (area.withTop (splitRow));
                g.fillPath (outline);
            }
            {
                juce::Graphics::ScopedSaveState state (g);
                g.reduceClipRegion (area.withBottom (splitRow));
                g.setColour (brandBlue);
                g.fillPath (outline);
            }
        }

        return glyphs.getBoundingBox (0, -1, true).getWidth();
    }

    void drawTextLine (juce::Graphics& g, const juce::String& text, const juce::Font& font, Rect area, Colour colour, juce::Justification justification)
    {
        g.setFont (font);
        g.setColour (colour);
        g.drawText (text, area, justification, false);
    }

    // The brand block, left-aligned at `topLeft`: maker, wordmark, a short blue rule
    // and the strapline.
    void drawBrandBlock (juce::Graphics& g, juce::Point<float> topLeft, float wordmarkHeight, const juce::String& strapline)
    {
        const auto makerHeight = wordmarkHeight * 0.24f;
        drawTextLine (g, "BRELMAR", makeFont (makerHeight, true, 0.32f), { topLeft.x + 2.0f, topLeft.y, 200.0f, makerHeight + 2.0f }, Colour (0xff7b828b), juce::Justification::centredLeft);

        const auto baseline = topLeft.y + makerHeight + wordmarkHeight * 0.86f;
        const auto width = drawWordmark (g, { topLeft.x, baseline }, wordmarkHeight, ink);

        const auto ruleY = baseline + wordmarkHeight * 0.2f;
        g.setColour (brandBlue);
        g.fillRect (Rect (topLeft.x + 2.0f, ruleY, wordmarkHeight * 0.5f, 2.0f));

        const auto strapHeight = wordmarkHeight * 0.23f;
        drawTextLine (g, strapline, makeFont (strapHeight, false, 0.16f), { topLeft.x + 2.0f, ruleY + 5.0f, juce::jmax (width, 200.0f), strapHeight + 3.0f }, Colour (0xff59616b), juce::Justification::centredLeft);
    }

    juce::Image paintBlank (int width, int height, bool opaque)
    {
        return juce::Image (opaque ? juce::Image::RGB : juce::Image::ARGB, width, height, true, juce::SoftwareImageType());
    }
}

//==============================================================================
juce::Image paintBackground()
{
    auto image = paintBlank (500, 452, true);
    juce::Graphics g (image);

    // Header band on a near-white ground; the unit sits on a faint floor.
    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xffffffff), 0.0f, Colour (0xfff0f2f4), 141.0f));
    g.fillRect (0, 0, 500, 141);
    g.setGradientFill (juce::ColourGradient (Colour (0x14000000), 352.0f, 134.0f, Colour (0x00000000), 352.0f + 150.0f, 134.0f, true));
    g.fillRect (200, 110, 300, 31);

    drawBrandBlock (g, { 24.0f, 30.0f }, 46.0f, "FIRMWARE UPDATER");
    ControllerDrawing::draw (g, { 212.0f, 8.0f, 276.0f, 120.0f });

    g.setColour (ruleLight);
    g.fillRect (0, 141, 500, 1);
    g.setColour (ruleDark);
    g.fillRect (0, 142, 500, 1);

    // Body: light grey, darker towards the bottom, behind the texts of the window.
    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xffeceef0), 143.0f, Colour (0xffd3d6da), 452.0f));
    g.fillRect (0, 143, 500, 309);
    g.setColour (Colour (0x16000000));
    g.fillRect (0, 143, 500, 1);

    // An etched groove between the version table and the progress well.
    g.setColour (Colour (0xffc3c7cc));
    g.fillRect (10, 297, 480, 1);
    g.setColour (Colour (0xfff7f8f9));
    g.fillRect (10, 298, 480, 1);

    // The sunken well of the progress bar: outline at x 19 and 481, y 314 and 341.
    const juce::Rectangle<int> well (19, 314, 463, 28);
    g.setColour (Colour (0xfffafbfc));
    g.drawRect (well.expanded (1));
    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xffdfe2e5), 315.0f, Colour (0xfff4f5f7), 341.0f));
    g.fillRect (well.reduced (1));
    g.setColour (Colour (0x22000000));
    g.fillRect (20, 315, 461, 1);
    g.setColour (Colour (0x0f000000));
    g.fillRect (20, 316, 461, 1);
    g.setColour (Colour (0xff8a8e94));
    g.drawRect (well);

    return image;
}

//==============================================================================
juce::Image paintButton (ButtonState state)
{
    struct Look
    {
        Colour top, bottom, border;
        float captionOffset;
    };

    const auto look = state == ButtonState::hover     ? Look { Colour (0xffb8bcc1), Colour (0xff92979d), Colour (0xff6a6f75), 0.0f }
                      : state == ButtonState::pressed ? Look { Colour (0xff63676d), Colour (0xff7a7e84), Colour (0xff45494e), 1.0f }
                                                      : Look { Colour (0xffa6aab0), Colour (0xff7e8288), Colour (0xff5e6268), 0.0f };

    auto image = paintBlank (150, 30, false);
    juce::Graphics g (image);

    const auto corner = 5.0f;
    const auto face = Rect (0.5f, 0.5f, 149.0f, 28.0f);

    g.setColour (Colour (0x30000000));
    g.fillRoundedRectangle (face.translated (0.0f, 1.0f), corner);

    g.setGradientFill (juce::ColourGradient::vertical (look.top, face.getY(), look.bottom, face.getBottom()));
    g.fillRoundedRectangle (face, corner);

    if (state == ButtonState::pressed)
    {
        g.setGradientFill (juce::ColourGradient::vertical (Colour (0x38000000), face.getY(), Colour (0x00000000), face.getY() + 6.0f));
        g.fillRoundedRectangle (face, corner);
    }
    else
    {
        g.setColour (juce::Colours::white.withAlpha (0.45f));
        g.drawLine (face.getX() + corner, face.getY() + 1.0f, face.getRight() - corner, face.getY() + 1.0f, 1.0f);
    }

    g.setColour (look.border);
    g.drawRoundedRectangle (face, corner, 1.0f);

    const auto font = makeFont (13.0f, true, 0.02f);
    const auto caption = face.translated (0.0f, look.captionOffset);
    drawTextLine (g, "Update Firmware", font, caption.translated (0.0f, 1.0f), Colour (0x80000000), juce::Justification::centred);
    drawTextLine (g, "Update Firmware", font, caption, juce::Colours::white, juce::Justification::centred);

    return image;
}

//==============================================================================
juce::Image paintLed (bool hardwarePresent)
{
    const auto colour = hardwarePresent ? Colour (0xff2fcf4f) : Colour (0xffe23a3a);

    auto image = paintBlank (12, 12, false);
    juce::Graphics g (image);

    // Dark bezel, then the lens glowing brightest in the middle, then a glint.
    g.setColour (Colour (0xff2c2f33).withAlpha (0.85f));
    g.fillEllipse (0.5f, 0.5f, 11.0f, 11.0f);

    g.setGradientFill (juce::ColourGradient (colour.brighter (0.3f), 6.0f, 6.5f, colour.darker (0.45f), 6.0f, 1.5f, true));
    g.fillEllipse (1.5f, 1.5f, 9.0f, 9.0f);

    g.setColour (juce::Colours::white.withAlpha (0.7f));
    g.fillEllipse (3.3f, 2.6f, 2.6f, 1.9f);

    return image;
}

//==============================================================================
juce::Image paintIcon()
{
    auto image = paintBlank (1024, 1024, false);
    juce::Graphics g (image);

    const auto tile = Rect (72.0f, 64.0f, 880.0f, 880.0f);
    const auto corner = 196.0f;

    juce::Path tilePath;
    tilePath.addRoundedRectangle (tile, corner);
    juce::DropShadow (Colour (0x66000000), 36, { 0, 14 }).drawForPath (g, tilePath);

    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xff3d424a), tile.getY(), Colour (0xff141619), tile.getBottom()));
    g.fillPath (tilePath);
    g.setColour (juce::Colours::white.withAlpha (0.12f));
    g.strokePath (tilePath, juce::PathStrokeType (6.0f));

    const auto centre = tile.getCentre();

    // The jog wheel: metal rim with grip ridges, dark grooved platter, metal cap.
    const auto rimRadius = 262.0f;
    g.setColour (Colour (0x80000000));
    g.fillEllipse (Rect (rimRadius * 2.0f + 24.0f, rimRadius * 2.0f + 24.0f).withCentre (centre.translated (0.0f, 16.0f)));

    const auto rim = Rect (rimRadius * 2.0f, rimRadius * 2.0f).withCentre (centre);
    g.setGradientFill (juce::ColourGradient (Colour (0xffd5d9de), rim.getX(), rim.getY(), Colour (0xff4a4f56), rim.getRight(), rim.getBottom(), false));
    g.fillEllipse (rim);

    g.setColour (Colour (0x40000000));
    for (int i = 0; i < 96; ++i)
    {
        const auto angle = juce::MathConstants<float>::twoPi * (float) i / 96.0f;
        g.drawLine ({ centre.getPointOnCircumference (rimRadius - 26.0f, angle), centre.getPointOnCircumference (rimRadius - 3.0f, angle) }, 4.0f);
    }

    g.setColour (Colour (0xff0f1012));
    g.fillEllipse (Rect ((rimRadius - 30.0f) * 2.0f, (rimRadius - 30.0f) * 2.0f).withCentre (centre));

    const auto platterRadius = rimRadius - 42.0f;
    const auto platter = Rect (platterRadius * 2.0f, platterRadius * 2.0f).withCentre (centre);
    g.setGradientFill (juce::ColourGradient (Colour (0xff363a41), centre.x, centre.y - 80.0f, Colour (0xff16181b), platter.getX(), platter.getBottom(), true));
    g.fillEllipse (platter);

    g.setColour (juce::Colours::white.withAlpha (0.05f));
    for (auto r = 110.0f; r < platterRadius - 6.0f; r += 12.0f)
        g.drawEllipse (Rect (r * 2.0f, r * 2.0f).withCentre (centre), 2.0f);

    g.setGradientFill (juce::ColourGradient (juce::Colours::white.withAlpha (0.1f), centre.x - 110.0f, centre.y - 130.0f, juce::Colours::transparentWhite, centre.x, centre.y, true));
    g.fillEllipse (platter);

    const auto cap = Rect (170.0f, 170.0f).withCentre (centre);
    g.setColour (Colour (0x80000000));
    g.fillEllipse (cap.translated (0.0f, 8.0f));
    g.setGradientFill (juce::ColourGradient (Colour (0xffe4e7ea), cap.getX(), cap.getY(), Colour (0xff737880), cap.getRight(), cap.getBottom(), false));
    g.fillEllipse (cap);

    const auto markerAngle = -0.75f;
    g.setColour (brandBlue.brighter (0.2f));
    g.drawLine ({ centre.getPointOnCircumference (110.0f, markerAngle), centre.getPointOnCircumference (platterRadius - 14.0f, markerAngle) }, 18.0f);

    // The update arrow running clockwise around the wheel.
    const auto arrowRadius = 352.0f;
    const auto arrowWidth = 70.0f;
    const auto start = 0.55f;
    const auto end = juce::MathConstants<float>::twoPi - 0.45f;

    juce::Path arc;
    arc.addCentredArc (centre.x, centre.y, arrowRadius, arrowRadius, 0.0f, start, end - 0.3f, true);

    juce::Path head;
    const auto headBase = end - 0.32f;
    head.startNewSubPath (centre.getPointOnCircumference (arrowRadius - arrowWidth * 1.15f, headBase));
    head.lineTo (centre.getPointOnCircumference (arrowRadius + arrowWidth * 1.15f, headBase));
    head.lineTo (centre.getPointOnCircumference (arrowRadius, end));
    head.closeSubPath();

    juce::Path arrow;
    juce::PathStrokeType (arrowWidth, juce::PathStrokeType::curved, juce::PathStrokeType::butt).createStrokedPath (arrow, arc);
    arrow.addPath (head);

    juce::DropShadow (Colour (0x90000000), 18, { 0, 8 }).drawForPath (g, arrow);
    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xff7cccfa), tile.getY() + 60.0f, Colour (0xff2a8fd6), tile.getBottom() - 60.0f));
    g.fillPath (arrow);

    return image;
}

//==============================================================================
juce::Image paintAboutScreen()
{
    auto image = paintBlank (500, 329, true);
    juce::Graphics g (image);

    // Stage: the unit on a bright, softly lit ground.
    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xffffffff), 0.0f, Colour (0xffe9ecef), 200.0f));
    g.fillRect (0, 0, 500, 200);
    g.setGradientFill (juce::ColourGradient (Colour (0x18000000), 250.0f, 188.0f, Colour (0x00000000), 250.0f + 230.0f, 188.0f, true));
    g.fillRect (0, 150, 500, 50);

    ControllerDrawing::draw (g, { 40.0f, 14.0f, 420.0f, 172.0f });

    g.setColour (ruleLight);
    g.fillRect (0, 200, 500, 1);
    g.setColour (ruleDark);
    g.fillRect (0, 201, 500, 1);

    g.setGradientFill (juce::ColourGradient::vertical (Colour (0xfff2f4f6), 202.0f, Colour (0xffdde0e4), 329.0f));
    g.fillRect (0, 202, 500, 127);

    drawBrandBlock (g, { 26.0f, 216.0f }, 44.0f, "FIRMWARE UPDATER");

    const auto textArea = Rect (218.0f, 224.0f, 266.0f, 90.0f);
    g.setColour (Colour (0xffc7cbd0));
    g.fillRect (Rect (textArea.getX() - 14.0f, textArea.getY(), 1.0f, textArea.getHeight() - 10.0f));

    drawTextLine (g, "Brelmar Zarvik Firmware Updater", makeFont (15.0f, true), textArea.withHeight (20.0f), ink, juce::Justification::centredLeft);
    drawTextLine (g, "Firmware for the control, audio and", makeFont (12.0f, false), textArea.withTrimmedTop (26.0f).withHeight (16.0f), Colour (0xff4f5660), juce::Justification::centredLeft);
    drawTextLine (g, "graphics processors of the Zarvik.", makeFont (12.0f, false), textArea.withTrimmedTop (42.0f).withHeight (16.0f), Colour (0xff4f5660), juce::Justification::centredLeft);
    drawTextLine (g, juce::String::charToString (0xa9) + " Brelmar. All rights reserved.", makeFont (10.5f, false), textArea.withTrimmedTop (66.0f).withHeight (14.0f), Colour (0xff7b828b), juce::Justification::centredLeft);

    return image;
}

//==============================================================================
std::vector<Picture> getPictures()
{
    return {
        { "Zarvik_DriverUpdater_Icon.png", 1024, 1024, paintIcon },
        { "Zarvik_DriverUpdateUtility_AboutScreen.png", 500, 329, paintAboutScreen },
        { "Zarvik_DriverUpdateUtility_Background.png", 500, 452, paintBackground },
        { "Zarvik_DriverUpdateUtility_Button_Hover.png", 150, 30, []
          { return paintButton (ButtonState::hover); } },
        { "Zarvik_DriverUpdateUtility_Button_Normal.png", 150, 30, []
          { return paintButton (ButtonState::normal); } },
        { "Zarvik_DriverUpdateUtility_Button_Press.png", 150, 30, []
          { return paintButton (ButtonState::pressed); } },
        { "Zarvik_DriverUpdateUtility_LED_NoHardware.png", 12, 12, []
          { return paintLed (false); } },
        { "Zarvik_DriverUpdateUtility_LED_WithHardware.png", 12, 12, []
          { return paintLed (true); } },
    };
}

juce::String checkTypeface()
{
    const auto styles = juce::Font::findAllTypefaceStyles (typefaceName);

    juce::StringArray missing;
    for (const auto* style : { "Book", "Bold" })
        if (! styles.contains (style))
            missing.add (style);

    if (missing.isEmpty())
        return {};

    return juce::String (typefaceName) + " (" + missing.joinIntoString (", ") + ") is not installed; on Debian it comes with fonts-dejavu-core";
}
}
