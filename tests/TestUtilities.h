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

/** The command run through the shell, so that a child killed by a signal
        (a crash) ends with a non-zero exit code: juce::ChildProcess reports
        such a child as having exited with 0. The trailing `exit` keeps the
        shell from replacing itself with the command. */
inline juce::StringArray withCrashesAsFailures (const juce::StringArray& command)
{
    juce::StringArray wrapped { "sh", "-c", "\"$0\" \"$@\"; exit $?" };
    wrapped.addArray (command);
    return wrapped;
}
}
