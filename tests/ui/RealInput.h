#pragma once

#include "tests/TestUtilities.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** Key presses and mouse clicks sent through the X server (xdotool's XTEST
    input), as a user's keyboard and mouse send them. The message loop runs
    meanwhile, so the windows of this process see the events as they come. */
namespace RealInput
{
inline bool xdotool (const juce::StringArray& arguments)
{
    juce::StringArray command ("xdotool");
    command.addArray (arguments);

    juce::ChildProcess process;

    if (! process.start (TestUtilities::withCrashesAsFailures (command)))
        return false;

    if (! TestUtilities::runUntil ([&process]
                                   { return ! process.isRunning(); }))
        return false;

    // Let the events that xdotool queued reach the windows.
    juce::MessageManager::getInstance()->runDispatchLoopUntil (100);
    return process.getExitCode() == 0;
}

/** Types the keys one after another, for example "n", "shift+n", "Return". */
inline bool typeKeys (const juce::StringArray& keys)
{
    juce::StringArray arguments ("key", "--delay", "30");
    arguments.addArray (keys);
    return xdotool (arguments);
}

/** Moves the mouse to the middle of the component and clicks the left button. */
inline bool click (const juce::Component& component)
{
    const auto centre = component.getScreenBounds().getCentre();
    return xdotool ({ "mousemove", juce::String (centre.x), juce::String (centre.y), "click", "1" });
}
}
