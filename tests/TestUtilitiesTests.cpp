#include "tests/TestUtilities.h"

#include <gtest/gtest.h>

namespace
{
juce::uint32 exitCodeOf (const juce::StringArray& command)
{
    juce::ChildProcess process;

    if (! process.start (command, 0))
        return 127;

    process.waitForProcessToFinish (10000);
    return process.getExitCode();
}
}

TEST (ChildProcessesInTests, ACrashingChildReadsAsAFailureOnlyThroughTheWrapper)
{
    const juce::StringArray crashing { "sh", "-c", "kill -SEGV $$" };

    // The reason for the wrapper: a child killed by a signal reads as success.
    EXPECT_EQ (exitCodeOf (crashing), 0u);
    EXPECT_EQ (exitCodeOf (TestUtilities::withCrashesAsFailures (crashing)), 128u + 11u);

    EXPECT_EQ (exitCodeOf (TestUtilities::withCrashesAsFailures ({ "sh", "-c", "exit 3" })), 3u);
    EXPECT_EQ (exitCodeOf (TestUtilities::withCrashesAsFailures ({ "true" })), 0u);
}
