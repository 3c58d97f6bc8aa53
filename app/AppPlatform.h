#pragma once

#include <functional>
#include <juce_core/juce_core.h>
#include <memory>

/**
    What the program needs from the operating system beyond JUCE: one
    implementation file per operating system in native/.
*/
namespace AppPlatform
{
/** Ok when the program can open a window; otherwise why not, for example
    "DISPLAY is not set". Prints nothing. Call it before JUCE builds any window. */
juce::Result checkDisplay();

/** Names the user running the program, uniquely on this machine. */
juce::String getUserId();

/**
    The requests to end the program that come from outside its window: Ctrl+C,
    kill and a closed terminal (SIGINT, SIGTERM and SIGHUP on Linux). While this
    object exists, each request calls `onRequest` on the message thread instead
    of ending the process; a request that the process ignored when the object
    was made (nohup's SIGHUP) stays ignored. Deleting it restores the handling
    it replaced.

    Create and delete it on the message thread; only one may exist at a time.
*/
class QuitRequests final
{
public:
    explicit QuitRequests (std::function<void()> onRequest);
    ~QuitRequests();

private:
    struct Native;
    std::unique_ptr<Native> native;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QuitRequests)
};

/**
    Keeps the program's windows painted where the display never signals its
    vertical blank: JUCE on Windows paints only then, and Wine never signals
    it. While this object exists there, the windows' pending repaints are
    carried out 60 times a second; elsewhere it does nothing.

    Create and delete it on the message thread.
*/
class RepaintPump final
{
public:
    RepaintPump();
    ~RepaintPump();

private:
    struct Native;
    std::unique_ptr<Native> native;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RepaintPump)
};
}
