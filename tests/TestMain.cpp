#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

// JUCE's runtime lives for the whole run, so tests can pump the real message
// loop and use real timers.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
