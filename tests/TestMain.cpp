#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

// JUCE's runtime lives for the whole run, so tests can pump the real message
// loop and use real timers.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);

    // JUCE sets up Xlib's thread support and its X error handlers only in a
    // standalone application; without them the first X error (a window
    // property that no window manager has made) ends the run.
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase*
    { return nullptr; };

    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
