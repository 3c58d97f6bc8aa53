#include "tests/TestPlatform.h"
#include "tests/TestUtilities.h"

#include <cstdlib>

void TestPlatform::keepUserStateIn (const juce::File& folder)
{
    setenv ("XDG_STATE_HOME", folder.getFullPathName().toRawUTF8(), 1);
}

// Through the shell, whose status for a child killed by signal N is 128 + N.
// The trailing `exit` keeps the shell from replacing itself with the command.
juce::StringArray TestUtilities::withCrashesAsFailures (const juce::StringArray& command)
{
    juce::StringArray wrapped { "sh", "-c", "\"$0\" \"$@\"; exit $?" };
    wrapped.addArray (command);
    return wrapped;
}
