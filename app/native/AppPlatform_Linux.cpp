#include "app/AppPlatform.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <juce_events/juce_events.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace AppPlatform
{
namespace
{
    // Runs `call` with the process's standard error going into a pipe, and returns
    // what was written there as one line.
    juce::String captureStandardError (const std::function<void()>& call)
    {
        int fds[2];

        if (::pipe2 (fds, O_CLOEXEC) != 0)
        {
            call();
            return {};
        }

        const auto saved = ::fcntl (STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        ::dup2 (fds[1], STDERR_FILENO);
        ::close (fds[1]);

        call();

        ::dup2 (saved, STDERR_FILENO);
        ::close (saved);

        juce::MemoryOutputStream text;
        char buffer[256];

        for (ssize_t length; (length = ::read (fds[0], buffer, sizeof (buffer))) > 0;)
            text.write (buffer, (size_t) length);

        ::close (fds[0]);

        auto lines = juce::StringArray::fromLines (text.toString());
        lines.trim();
        lines.removeEmptyStrings();
        return lines.joinIntoString (" ");
    }
}

juce::Result checkDisplay()
{
    // Like any X client, and unlike JUCE, which would try ":0.0": without
    // DISPLAY the session has no display of its own.
    const auto name = juce::SystemStats::getEnvironmentVariable ("DISPLAY", {});

    if (name.isEmpty())
        return juce::Result::fail ("DISPLAY is not set");

    // JUCE loads these when it first needs them, and without them opens no window.
    for (auto* library : { "libX11.so.6", "libXext.so.6" })
        if (juce::DynamicLibrary (library).getNativeHandle() == nullptr)
            return juce::Result::fail (juce::String ("the X library ") + library + " is not installed");

    // The probe goes through libxcb rather than Xlib, which wants XInitThreads
    // before any other call and leaves that to JUCE.
    juce::DynamicLibrary xcb ("libxcb.so.1");
    const auto connect = reinterpret_cast<xcb_connection_t* (*) (const char*, int*)> (xcb.getFunction ("xcb_connect"));
    const auto hasError = reinterpret_cast<int (*) (xcb_connection_t*)> (xcb.getFunction ("xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<void (*) (xcb_connection_t*)> (xcb.getFunction ("xcb_disconnect"));

    if (connect == nullptr || hasError == nullptr || disconnect == nullptr)
        return juce::Result::fail ("the X library libxcb.so.1 is not installed");

    // libxcb writes a server's refusal ("Authorization required, ...") on
    // standard error: it becomes part of the reason instead.
    int error = 0;
    const auto refusal = captureStandardError ([&]
                                               {
                                                   int screen = 0;
                                                   auto* connection = connect (name.toRawUTF8(), &screen);
                                                   error = hasError (connection);
                                                   disconnect (connection); });

    if (error == 0)
        return juce::Result::ok();

    if (error == XCB_CONN_CLOSED_PARSE_ERR)
        return juce::Result::fail ("DISPLAY " + name.quoted() + " is not a display name");

    if (error == XCB_CONN_CLOSED_INVALID_SCREEN)
        return juce::Result::fail ("the X server has no screen " + name.quoted());

    if (refusal.isNotEmpty())
        return juce::Result::fail ("the X server " + name.quoted() + " refused the connection: " + refusal);

    return juce::Result::fail ("no X server answers at " + name.quoted());
}

juce::String getUserId()
{
    return juce::String ((int) ::getuid());
}

//==============================================================================
namespace
{
    constexpr int quitSignals[] = { SIGINT, SIGTERM, SIGHUP };

    // The write end of the pipe while a QuitRequests object exists, otherwise -1.
    std::atomic<int> signalPipe { -1 };
    static_assert (std::atomic<int>::is_always_lock_free, "the signal handler reads it");

    // Only what is safe in a signal handler: one write that never blocks.
    void writeToSignalPipe (int)
    {
        const auto savedErrno = errno;
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write (signalPipe.load(), &byte, 1);
        errno = savedErrno;
    }
}

// The handler only writes a byte into a pipe; the message loop watches the
// pipe's other end and makes the call.
struct QuitRequests::Native
{
    explicit Native (std::function<void()> onRequestToCall)
        : onRequest (std::move (onRequestToCall))
    {
        jassert (signalPipe.load() == -1);

        if (::pipe2 (fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;

        signalPipe = fds[1];
        juce::LinuxEventLoop::registerFdCallback (fds[0], [this] (int fd)
                                                  { handleRequests (fd); });

        for (auto number : quitSignals)
        {
            struct sigaction previous = {};
            ::sigaction (number, nullptr, &previous);

            if (previous.sa_handler == SIG_IGN)
                continue;

            struct sigaction action = {};
            action.sa_handler = writeToSignalPipe;
            action.sa_flags = SA_RESTART;
            sigemptyset (&action.sa_mask);

            if (::sigaction (number, &action, nullptr) == 0)
                replaced.push_back ({ number, previous });
        }
    }

    ~Native()
    {
        for (auto& [number, previous] : replaced)
            ::sigaction (number, &previous, nullptr);

        if (fds[0] < 0)
            return;

        signalPipe = -1;
        juce::LinuxEventLoop::unregisterFdCallback (fds[0]);
        ::close (fds[0]);
        ::close (fds[1]);
    }

    // Several signals that arrived together are one request.
    void handleRequests (int fd)
    {
        char bytes[64];

        while (::read (fd, bytes, sizeof (bytes)) > 0)
        {
        }

        onRequest();
    }

    std::function<void()> onRequest;
    int fds[2] = { -1, -1 };
    std::vector<std::pair<int, struct sigaction>> replaced;
};

QuitRequests::QuitRequests (std::function<void()> onRequest)
    : native (std::make_unique<Native> (std::move (onRequest)))
{
}

QuitRequests::~QuitRequests() = default;

//==============================================================================
// JUCE paints Linux windows as soon as they need it.
struct RepaintPump::Native
{
};

RepaintPump::RepaintPump() = default;
RepaintPump::~RepaintPump() = default;
}
