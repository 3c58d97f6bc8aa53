#include "tests/TestPlatform.h"

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

    // Updates that tests run, in this process and in the programs it starts,
    // are logged in a folder of the run's own, never in the user's.
    const auto stateFolder = juce::File::getSpecialLocation (juce::File::tempDirectory).getNonexistentChildFile ("zarvik-test-state", {});
    stateFolder.createDirectory();
    TestPlatform::keepUserStateIn (stateFolder);

    const auto result = RUN_ALL_TESTS();
    stateFolder.deleteRecursively();
    return result;
}
