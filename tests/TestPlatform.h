#pragma once

#include <juce_core/juce_core.h>

/** What the tests need from the operating system: one file per system in native/. */
namespace TestPlatform
{
/** Makes this process, and the programs it starts, keep per-user state
    (the update log) in `folder` instead of the user's own folder. */
void keepUserStateIn (const juce::File& folder);
}
