#include "WinMidi_Windows.h"

#include <mmddk.h>
#include <stdexcept>

namespace WinMidi
{
const Functions& getSystemFunctions()
{
    static const Functions functions { midiOutGetNumDevs,
                                       midiOutGetDevCapsW,
                                       midiOutMessage,
                                       midiOutOpen,
                                       midiOutClose,
                                       midiOutPrepareHeader,
                                       midiOutUnprepareHeader,
                                       midiOutLongMsg,
                                       midiOutReset,
                                       midiOutGetErrorTextW,
                                       midiInGetNumDevs,
                                       midiInGetDevCapsW };
    return functions;
}

namespace
{
    juce::String errorText (const Functions& winmm, MMRESULT result)
    {
        WCHAR text[MAXERRORLENGTH] = {};

        if (winmm.outGetErrorText (result, text, MAXERRORLENGTH) == MMSYSERR_NOERROR && text[0] != 0)
            return juce::String (text);

        return "error " + juce::String ((int) result);
    }

    // The driver's answers when the device has gone (or the handle with it).
    bool meansUnplugged (MMRESULT result)
    {
        return result == MMSYSERR_NODRIVER || result == MMSYSERR_INVALHANDLE || result == MMSYSERR_BADDEVICEID;
    }

    juce::String interfaceOf (const Functions& winmm, UINT index)
    {
        const auto device = (HMIDIOUT) (UINT_PTR) index;
        ULONG size = 0;
        WCHAR name[512] = {};

        if (winmm.outMessage (device, DRV_QUERYDEVICEINTERFACESIZE, (DWORD_PTR) &size, 0) != MMSYSERR_NOERROR
            || size == 0 || size > sizeof (name)
            || winmm.outMessage (device, DRV_QUERYDEVICEINTERFACE, (DWORD_PTR) name, sizeof (name)) != MMSYSERR_NOERROR)
            return {};

        return juce::String (name);
    }

    //==============================================================================
    /** One open output. Each send hands the driver a header of its own, over a
        copy of the bytes, and waits on an event that the driver sets whenever
        it has finished with a buffer. */
    class WinMidiOutputPort final : public MidiOutputPort
    {
    public:
        WinMidiOutputPort (const Functions& functions, juce::MidiDeviceInfo device, HMIDIOUT openHandle, HANDLE doneEvent)
            : winmm (functions), info (std::move (device)), handle (openHandle), done (doneEvent)
        {
        }

        ~WinMidiOutputPort() override
        {
            // A header that the driver still holds after a reset is left to it,
            // with the device and its event: freeing them could let the driver
            // write into freed memory.
            if (heldByDriver != nullptr)
            {
                winmm.outReset (handle);

                if (! waitUntilDone (heldByDriver->header, resetLimit) || ! unprepare (heldByDriver->header))
                {
                    heldByDriver.release();
                    return;
                }
            }

            winmm.outClose (handle);
            CloseHandle (done);
        }

        juce::String getName() const override { return info.name; }

        juce::Result send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver) override
        {
            if (heldByDriver != nullptr)
                return juce::Result::fail ("write failed: the device never gave back an earlier buffer");

            if (size == 0)
                return juce::Result::ok();

            auto buffer = std::make_unique<Buffer> (data, size);
            auto& header = buffer->header;

            if (const auto result = winmm.outPrepareHeader (handle, &header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                return failure (result);

            if (handedOver != nullptr)
                *handedOver = std::chrono::steady_clock::now();

            if (const auto result = winmm.outLongMsg (handle, &header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
            {
                unprepare (header);
                return failure (result);
            }

            if (! waitUntilDone (header, timeLimit))
            {
                // The driver gives every buffer back, marked done, on a reset;
                // until then it may still read this one.
                winmm.outReset (handle);
                const auto givenBack = waitUntilDone (header, resetLimit) && unprepare (header);

                if (! givenBack)
                    heldByDriver = std::move (buffer);

                if (! listOutputs (winmm).contains (info))
                    return juce::Result::fail ("unplugged: the system no longer lists the device");

                return juce::Result::fail ("write timed out: the device took nothing for " + juce::String (timeLimit.count()) + " ms");
            }

            if (const auto result = winmm.outUnprepareHeader (handle, &header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                return failure (result);

            return juce::Result::ok();
        }

    private:
        // How long a reset may take to give a buffer back.
        static constexpr std::chrono::milliseconds resetLimit { 1000 };

        struct Buffer
        {
            Buffer (const void* data, size_t size)
                : bytes (data, size)
            {
                header.lpData = static_cast<LPSTR> (bytes.getData());
                header.dwBufferLength = (DWORD) size;
                header.dwBytesRecorded = (DWORD) size;
            }

            juce::MemoryBlock bytes;
            MIDIHDR header {};
        };

        juce::Result failure (MMRESULT result) const
        {
            return juce::Result::fail ((meansUnplugged (result) ? "unplugged: " : "write failed: ") + errorText (winmm, result));
        }

        static bool isDone (const MIDIHDR& header)
        {
            // Set by the driver's thread; the event it sets after it orders the read.
            return (reinterpret_cast<const volatile DWORD&> (header.dwFlags) & MHDR_DONE) != 0;
        }

        bool waitUntilDone (const MIDIHDR& header, std::chrono::milliseconds limit) const
        {
            const auto deadline = std::chrono::steady_clock::now() + limit;

            while (! isDone (header))
            {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - std::chrono::steady_clock::now()).count();

                if (left <= 0)
                    return isDone (header);

                WaitForSingleObject (done, (DWORD) left);
            }

            return true;
        }

        bool unprepare (MIDIHDR& header) const
        {
            return winmm.outUnprepareHeader (handle, &header, sizeof (MIDIHDR)) == MMSYSERR_NOERROR;
        }

        const Functions& winmm;
        const juce::MidiDeviceInfo info;
        const HMIDIOUT handle;
        const HANDLE done;
        std::unique_ptr<Buffer> heldByDriver;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WinMidiOutputPort)
    };
} // namespace

//==============================================================================
juce::Array<juce::MidiDeviceInfo> listOutputs (const Functions& winmm)
{
    juce::StringArray names, identifiers;
    const auto count = winmm.outGetNumDevs();

    for (UINT i = 0; i < count; ++i)
    {
        MIDIOUTCAPSW caps {};

        if (winmm.outGetDevCaps (i, &caps, sizeof (caps)) != MMSYSERR_NOERROR)
            caps.szPname[0] = 0;

        names.add (juce::String (caps.szPname));
        const auto driverInterface = interfaceOf (winmm, i);
        identifiers.add (driverInterface.isNotEmpty() ? driverInterface : names[(int) i]);
    }

    identifiers.appendNumbersToDuplicates (false, false, juce::CharPointer_UTF8 ("-"), juce::CharPointer_UTF8 (""));

    juce::Array<juce::MidiDeviceInfo> devices;

    for (int i = 0; i < names.size(); ++i)
        devices.add ({ names[i], identifiers[i] });

    return devices;
}

juce::StringArray listInputNames (const Functions& winmm)
{
    juce::StringArray names;
    const auto count = winmm.inGetNumDevs();

    for (UINT i = 0; i < count; ++i)
    {
        MIDIINCAPSW caps {};

        if (winmm.inGetDevCaps (i, &caps, sizeof (caps)) != MMSYSERR_NOERROR)
            caps.szPname[0] = 0;

        names.add (juce::String (caps.szPname));
    }

    return names;
}

std::unique_ptr<MidiOutputPort> openOutput (const Functions& winmm, const juce::String& identifier)
{
    const auto devices = listOutputs (winmm);
    int index = -1;

    for (int i = 0; i < devices.size() && index < 0; ++i)
        if (devices[i].identifier == identifier)
            index = i;

    if (index < 0)
        return nullptr;

    const auto done = CreateEventW (nullptr, FALSE, FALSE, nullptr);

    if (done == nullptr)
        throw std::runtime_error ("no event for the device could be made");

    HMIDIOUT handle = nullptr;
    const auto result = winmm.outOpen (&handle, (UINT) index, (DWORD_PTR) done, 0, CALLBACK_EVENT);

    if (result != MMSYSERR_NOERROR)
    {
        CloseHandle (done);

        if (result == MMSYSERR_ALLOCATED)
            throw std::runtime_error ("held by another program");

        throw std::runtime_error (errorText (winmm, result).toStdString());
    }

    return std::make_unique<WinMidiOutputPort> (winmm, devices[index], handle, done);
}
} // namespace WinMidi
