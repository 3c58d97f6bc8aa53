#include "app/AppPlatform.h"

#include <juce_gui_basics/juce_gui_basics.h>
#include <mutex>

// <windows.h> first: the others build on it.
#include <windows.h>

#include <dxgi.h>
#include <sddl.h>

namespace AppPlatform
{
// JUCE's windows wait for the vertical blank of their display through DXGI,
// the system's list of graphics adapters and their displays, and JUCE takes
// for granted that it can open that list: where the system lists no display
// (under Wine, a prefix whose desktop was started without an X display) the
// first window would crash on it.
juce::Result checkDisplay()
{
    IDXGIFactory* factory = nullptr;

    if (const auto result = CreateDXGIFactory (__uuidof(IDXGIFactory), (void**) &factory); FAILED (result))
        return juce::Result::fail ("the system lists no display (DXGI error 0x" + juce::String::toHexString ((int) result) + ")");

    factory->Release();
    return juce::Result::ok();
}

// The user's security identifier: names can repeat across domains, SIDs cannot.
juce::String getUserId()
{
    juce::String id;
    HANDLE token = nullptr;

    if (OpenProcessToken (GetCurrentProcess(), TOKEN_QUERY, &token))
    {
        DWORD size = 0;
        GetTokenInformation (token, TokenUser, nullptr, 0, &size);
        juce::HeapBlock<char> user (size);
        LPWSTR text = nullptr;

        if (size > 0 && GetTokenInformation (token, TokenUser, user, size, &size)
            && ConvertSidToStringSidW (reinterpret_cast<TOKEN_USER*> (user.get())->User.Sid, &text))
        {
            id = juce::String (text);
            LocalFree (text);
        }

        CloseHandle (token);
    }

    return id.isNotEmpty() ? id : juce::SystemStats::getLogonName();
}

//==============================================================================
struct QuitRequests::Native final : private juce::AsyncUpdater
{
    explicit Native (std::function<void()> onRequestToCall)
        : onRequest (std::move (onRequestToCall))
    {
        {
            const std::lock_guard<std::mutex> l (currentLock);
            jassert (current == nullptr);
            current = this;
        }

        installed = SetConsoleCtrlHandler (handleConsoleEvent, TRUE) != 0;
    }

    ~Native() override
    {
        if (installed)
            SetConsoleCtrlHandler (handleConsoleEvent, FALSE);

        // A handler running on its thread now finds nobody to hand the
        // request to; one already handed over is dropped with this object.
        const std::lock_guard<std::mutex> l (currentLock);
        current = nullptr;
    }

    // Windows runs this on a thread of its own when Ctrl+C, Ctrl+Break or the
    // console's close button reaches a program attached to a console. It
    // only hands the request to the message thread.
    static BOOL WINAPI handleConsoleEvent (DWORD event)
    {
        if (event > CTRL_CLOSE_EVENT)
            return FALSE;

        const std::lock_guard<std::mutex> l (currentLock);

        if (current == nullptr)
            return FALSE;

        current->triggerAsyncUpdate();
        return TRUE;
    }

    void handleAsyncUpdate() override { onRequest(); }

    static inline std::mutex currentLock;
    static inline Native* current = nullptr;

    std::function<void()> onRequest;
    bool installed = false;
};

QuitRequests::QuitRequests (std::function<void()> onRequest)
    : native (std::make_unique<Native> (std::move (onRequest)))
{
}

QuitRequests::~QuitRequests() = default;

//==============================================================================
namespace
{
    struct Release
    {
        void operator() (IUnknown* object) const { object->Release(); }
    };

    // Whether the first display output waits for its vertical blank, which
    // JUCE's windows need to paint at all (Wine answers "not implemented").
    bool displaySignalsVerticalBlank()
    {
        IDXGIFactory* factory = nullptr;
        IDXGIAdapter* adapter = nullptr;
        IDXGIOutput* output = nullptr;

        if (FAILED (CreateDXGIFactory (__uuidof(IDXGIFactory), (void**) &factory)))
            return false;

        const std::unique_ptr<IDXGIFactory, Release> factoryOwner (factory);

        if (FAILED (factory->EnumAdapters (0, &adapter)))
            return false;

        const std::unique_ptr<IDXGIAdapter, Release> adapterOwner (adapter);

        if (FAILED (adapter->EnumOutputs (0, &output)))
            return false;

        const std::unique_ptr<IDXGIOutput, Release> outputOwner (output);
        return output->WaitForVBlank() == S_OK;
    }
}

struct RepaintPump::Native final : private juce::Timer
{
    Native()
    {
        if (! displaySignalsVerticalBlank())
            startTimerHz (60);
    }

    ~Native() override { stopTimer(); }

    void timerCallback() override
    {
        for (int i = 0; i < juce::ComponentPeer::getNumPeers(); ++i)
            juce::ComponentPeer::getPeer (i)->performAnyPendingRepaintsNow();
    }
};

RepaintPump::RepaintPump()
    : native (std::make_unique<Native>())
{
}

RepaintPump::~RepaintPump() = default;
}
