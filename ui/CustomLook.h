#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/**
    The main window's look: JUCE's V3 look with a flat progress bar (a red
    gradient and black centred text) and a plain tick box drawn as a square
    with an X. It sets no colours, fonts or images of its own.

    Owned by the main component, which installs it on itself; drawing happens
    on the message thread.
*/
class CustomLook final : public juce::LookAndFeel_V3
{
public:
    CustomLook() = default;

    void drawToggleButton (juce::Graphics& g,
                           juce::ToggleButton& button,
                           bool shouldDrawButtonAsHighlighted,
                           bool shouldDrawButtonAsDown) override;

    void drawTickBox (juce::Graphics& g,
                      juce::Component& component,
                      float x,
                      float y,
                      float w,
                      float h,
                      bool ticked,
                      bool isEnabled,
                      bool shouldDrawButtonAsHighlighted,
                      bool shouldDrawButtonAsDown) override;

    void drawProgressBar (juce::Graphics& g,
                          juce::ProgressBar& bar,
                          int width,
                          int height,
                          double progress,
                          const juce::String& textToShow) override;

    /** The bar's gradient: top, end of the top blend, and the last step at the bottom. */
    static constexpr juce::uint32 barTopColour = 0xFFC51530;
    static constexpr juce::uint32 barBodyColour = 0xFFCB294F;
    static constexpr juce::uint32 barBottomColour = 0xFF9E0414;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CustomLook)
};
