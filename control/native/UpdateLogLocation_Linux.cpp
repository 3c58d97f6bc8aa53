#include "control/UpdateLog.h"

// The XDG base directory rules: state that outlives a run but is no
// configuration (logs, history) goes to $XDG_STATE_HOME, by default
// ~/.local/state. A relative value is to be ignored.
juce::File UpdateLog::getDefaultFile()
{
    const auto stateHome = juce::SystemStats::getEnvironmentVariable ("XDG_STATE_HOME", {});
    const auto folder = juce::File::isAbsolutePath (stateHome) ? juce::File (stateHome)
                                                               : juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".local/state");

    return folder.getChildFile ("brelmar-zarvik-firmware-updater/update.log");
}
