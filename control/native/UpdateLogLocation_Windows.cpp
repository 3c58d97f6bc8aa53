#include "control/UpdateLog.h"

// Windows keeps a program's per-user data that does not roam with the user
// in %LOCALAPPDATA%, in a folder named after the program.
juce::File UpdateLog::getDefaultFile()
{
    const auto localAppData = juce::SystemStats::getEnvironmentVariable ("LOCALAPPDATA", {});
    const auto folder = juce::File::isAbsolutePath (localAppData) ? juce::File (localAppData)
                                                                  : juce::File::getSpecialLocation (juce::File::windowsLocalAppData);

    return folder.getChildFile (ZARVIK_PRODUCT_NAME).getChildFile ("update.log");
}
