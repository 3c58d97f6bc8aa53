#include "tests/TestPlatform.h"
#include "tests/TestUtilities.h"

#include <windows.h>

void TestPlatform::keepUserStateIn (const juce::File& folder)
{
    SetEnvironmentVariableW (L"LOCALAPPDATA", folder.getFullPathName().toWideCharPointer());
}

// A crashed Windows process ends with its exception's code, never with 0.
juce::StringArray TestUtilities::withCrashesAsFailures (const juce::StringArray& command)
{
    return command;
}
