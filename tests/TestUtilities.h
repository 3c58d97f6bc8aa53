#pragma once

#include <functional>
#include <juce_events/juce_events.h>

namespace TestUtilities
{
/** Runs the message loop until `condition` holds or `timeoutMs` has passed;
        returns whether the condition held. The default is generous, as it
        only runs out when a test fails, and a loaded machine (or the emulated
        one of the kernel tests) can be slow to get there. */
inline bool runUntil (const std::function<bool()>& condition, int timeoutMs = 30000)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;

        juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
    }

    return true;
}

/** The command, run so that a child that crashed ends with a non-zero exit
    code: on Linux juce::ChildProcess reports a child killed by a signal as
    having exited with 0. One definition per system in tests/native/. */
juce::StringArray withCrashesAsFailures (const juce::StringArray& command);
}
