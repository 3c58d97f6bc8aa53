#include "CustomLook.h"

void CustomLook::drawToggleButton (juce::Graphics& g,
                                   juce::ToggleButton& button,
                                   bool shouldDrawButtonAsHighlighted,
                                   bool shouldDrawButtonAsDown)
{
    const auto fontSize = juce::jmin (15.0f, (float) button.getHeight() * 0.75f);
    const auto tickWidth = fontSize * 1.1f;

    drawTickBox (g,
                 button,
                 4.0f,
                 ((float) button.getHeight() - tickWidth) * 0.5f,
                 tickWidth,
                 tickWidth,
                 button.getToggleState(),
                 button.isEnabled(),
                 shouldDrawButtonAsHighlighted,
                 shouldDrawButtonAsDown);

    // Only the text fades when disabled: the box has already been drawn.
    if (! button.isEnabled())
        g.setOpacity (0.5f);

    const auto textX = (int) tickWidth + 5;

    // The text keeps the colour the tick box left in the context.
    g.drawFittedText (button.getButtonText(),
                      textX,
                      0,
                      button.getWidth() - textX - 2,
                      button.getHeight(),
                      juce::Justification::centredLeft,
                      10,
                      0.7f);
}

void CustomLook::drawTickBox (juce::Graphics& g,
                              juce::Component&,
                              float,
                              float,
                              float w,
                              float h,
                              bool ticked,
                              bool,
                              bool,
                              bool)
{
    // The box sits at the component's origin, whatever position it is given.
    g.setColour (juce::Colours::black);
    g.drawRect (juce::Rectangle<float> (0.0f, 0.0f, w, h), 1.0f);

    if (ticked)
    {
        g.drawLine (0.0f, 0.0f, w, h, 1.0f);
        g.drawLine (0.0f, h, w, 0.0f, 1.0f);
    }
}

void CustomLook::drawProgressBar (juce::Graphics& g,
                                  juce::ProgressBar& bar,
                                  int width,
                                  int height,
                                  double progress,
                                  const juce::String& textToShow)
{
    g.fillAll (bar.findColour (juce::ProgressBar::backgroundColourId));

    // A negative value means "indeterminate"; it, values above 1 and NaN show no bar.
    if (progress >= 0.0 && progress <= 1.0)
    {
        juce::ColourGradient gradient (juce::Colour (barTopColour), 0.0f, 0.0f, juce::Colour (barBodyColour), 0.0f, (float) height, false);
        gradient.addColour (0.0, juce::Colour (barTopColour));
        gradient.addColour (0.3, juce::Colour (barBodyColour));
        gradient.addColour (1.0, juce::Colour (barBottomColour));
        g.setGradientFill (gradient);

        // One pixel of background stays free on every side.
        const auto innerWidth = juce::jmax (0.0, (double) width - 2.0);
        const auto filledWidth = juce::jlimit (0.0, innerWidth, innerWidth * progress);
        g.fillRect (juce::Rectangle<float> (1.0f, 1.0f, (float) filledWidth, juce::jmax (0.0f, (float) height - 2.0f)));
    }

    if (textToShow.isNotEmpty())
    {
        g.setColour (juce::Colours::black);
        g.setFont (g.getCurrentFont().withHeight ((float) height * 0.6f));
        g.drawText (textToShow, 0, 0, width, height, juce::Justification::centred, false);
    }
}
