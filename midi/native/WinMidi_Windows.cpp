#include "WinMidi_Windows.h"
#include "midi/SysexAssembler.h"

#include <array>
#include <condition_variable>
#include <mmddk.h>
#include <mutex>
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
                                       midiInGetDevCapsW,
                                       midiInMessage,
                                       midiInOpen,
                                       midiInClose,
                                       midiInStart,
                                       midiInStop,
                                       midiInReset,
                                       midiInPrepareHeader,
                                       midiInUnprepareHeader,
                                       midiInAddBuffer };
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

    // Lists the devices of one direction: `Caps` is its capabilities
    // structure, `Handle` its handle, which a device's index stands for here.
    template <typename Caps, typename Handle>
    juce::Array<juce::MidiDeviceInfo> listDevices (UINT count,
                                                   MMRESULT (WINAPI* getCaps) (UINT_PTR, Caps*, UINT),
                                                   MMRESULT (WINAPI* message) (Handle, UINT, DWORD_PTR, DWORD_PTR))
    {
        juce::StringArray names, identifiers;

        for (UINT i = 0; i < count; ++i)
        {
            Caps caps {};

            if (getCaps (i, &caps, sizeof (caps)) != MMSYSERR_NOERROR)
                caps.szPname[0] = 0;

            names.add (juce::String (caps.szPname));

            // The driver interface names the device itself, so it stays the
            // same while other devices come and go; not every driver has one.
            const auto device = (Handle) (UINT_PTR) i;
            ULONG size = 0;
            WCHAR driverInterface[512] = {};
            const auto hasInterface = message (device, DRV_QUERYDEVICEINTERFACESIZE, (DWORD_PTR) &size, 0) == MMSYSERR_NOERROR
                                      && size > 0 && size <= sizeof (driverInterface)
                                      && message (device, DRV_QUERYDEVICEINTERFACE, (DWORD_PTR) driverInterface, sizeof (driverInterface)) == MMSYSERR_NOERROR;

            identifiers.add (hasInterface ? juce::String (driverInterface) : names[(int) i]);
        }

        identifiers.appendNumbersToDuplicates (false, false, juce::CharPointer_UTF8 ("-"), juce::CharPointer_UTF8 (""));

        juce::Array<juce::MidiDeviceInfo> devices;

        for (int i = 0; i < names.size(); ++i)
            devices.add ({ names[i], identifiers[i] });

        return devices;
    }

    int indexOf (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& identifier)
    {
        for (int i = 0; i < devices.size(); ++i)
            if (devices[i].identifier == identifier)
                return i;

        return -1;
    }

    [[noreturn]] void throwOpenFailure (const Functions& winmm, MMRESULT result)
    {
        if (result == MMSYSERR_ALLOCATED)
            throw std::runtime_error ("held by another program");

        throw std::runtime_error (errorText (winmm, result).toStdString());
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

            // The driver is done with the whole buffer: the next one's interval
            // counts from now, however late the driver was in saying so.
            if (handedOver != nullptr)
                *handedOver = std::chrono::steady_clock::now();

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

    //==============================================================================
    /** What an open input shares with the driver's thread: the SysEx buffers
        lent to the driver, the assembler, and whether messages are delivered.
        The driver calls back into it until it has given every buffer back and
        the device is closed, so it outlives its port when the driver keeps one. */
    class InputConnection final
    {
    public:
        InputConnection (const Functions& functions, MidiInputPort& port, MidiInputPortCallback& cb)
            : winmm (functions)
            , source (port)
            , callback (cb)
            , assembler ([this] (const uint8_t* data, size_t size)
                         { callback.handleIncomingMidiMessage (&source, juce::MidiMessage (data, (int) size, juce::Time::getMillisecondCounterHiRes() * 0.001)); })
        {
        }

        /** Opens the device and lends the driver every buffer; throws saying why. */
        void open (UINT index)
        {
            if (const auto result = winmm.inOpen (&handle, index, (DWORD_PTR) &InputConnection::driverCallback, (DWORD_PTR) this, CALLBACK_FUNCTION);
                result != MMSYSERR_NOERROR)
            {
                handle = nullptr;
                throwOpenFailure (winmm, result);
            }

            for (auto& buffer : buffers)
            {
                buffer.header.lpData = buffer.bytes.data();
                buffer.header.dwBufferLength = (DWORD) buffer.bytes.size();

                if (const auto result = winmm.inPrepareHeader (handle, &buffer.header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                    throwOpenFailure (winmm, result);

                buffer.prepared = true;

                const std::lock_guard<std::mutex> l (lock);

                if (const auto result = winmm.inAddBuffer (handle, &buffer.header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                    throwOpenFailure (winmm, result);

                ++lent;
            }
        }

        void start()
        {
            {
                const std::lock_guard<std::mutex> l (lock);
                delivering = true;
            }

            winmm.inStart (handle);
        }

        void stop()
        {
            winmm.inStop (handle);

            // Waits for a delivery under way. A message begun before the stop
            // would end after a gap: it is dropped.
            const std::lock_guard<std::mutex> l (lock);
            delivering = false;
            assembler.reset();
        }

        /** Takes every buffer back and closes the device; false when the driver
            keeps a buffer, and may therefore still call back into this. */
        bool close()
        {
            if (handle == nullptr)
                return true;

            stop();

            {
                const std::lock_guard<std::mutex> l (lock);
                closing = true;
            }

            // The driver gives every buffer back on a reset, from its own thread.
            winmm.inReset (handle);

            {
                std::unique_lock<std::mutex> l (lock);

                if (! givenBack.wait_for (l, resetLimit, [this]
                                          { return lent == 0; }))
                    return false;
            }

            for (auto& buffer : buffers)
                if (buffer.prepared && winmm.inUnprepareHeader (handle, &buffer.header, sizeof (MIDIHDR)) != MMSYSERR_NOERROR)
                    return false;

            winmm.inClose (handle);
            return true;
        }

    private:
        // How long a reset may take to give the buffers back.
        static constexpr std::chrono::milliseconds resetLimit { 1000 };

        // Replies are short (an identity reply is 37 bytes); several buffers
        // let the driver go on filling one while another is being read.
        static constexpr size_t bufferCount = 4, bufferSize = 1024;

        struct Buffer
        {
            std::array<char, bufferSize> bytes {};
            MIDIHDR header {};
            bool prepared = false;
        };

        static void CALLBACK driverCallback (HMIDIIN device, UINT message, DWORD_PTR instance, DWORD_PTR first, DWORD_PTR)
        {
            if (message == MIM_DATA || message == MIM_LONGDATA || message == MIM_ERROR || message == MIM_LONGERROR)
                reinterpret_cast<InputConnection*> (instance)->received (device, message, first);
        }

        // On the driver's thread; the lock keeps stop() and close() waiting
        // until the call has finished.
        void received (HMIDIIN device, UINT message, DWORD_PTR first)
        {
            const std::lock_guard<std::mutex> l (lock);

            if (message == MIM_DATA)
            {
                // A short message, or a real-time byte, packed from the low byte up.
                const uint8_t bytes[] { (uint8_t) first, (uint8_t) (first >> 8), (uint8_t) (first >> 16) };
                const auto size = (size_t) juce::jlimit (1, 3, juce::MidiMessage::getMessageLengthFromFirstByte (bytes[0]));

                if (delivering)
                    assembler.push (bytes, size);

                return;
            }

            if (message == MIM_ERROR)
            {
                assembler.reset();
                return;
            }

            auto* header = reinterpret_cast<MIDIHDR*> (first);

            if (message == MIM_LONGERROR || ! delivering)
                assembler.reset();
            else
                assembler.push (reinterpret_cast<const uint8_t*> (header->lpData), header->dwBytesRecorded);

            // Read: the buffer goes back to the driver, unless the device closes.
            --lent;

            if (! closing && winmm.inAddBuffer (device, header, sizeof (MIDIHDR)) == MMSYSERR_NOERROR)
                ++lent;

            if (lent == 0)
                givenBack.notify_all();
        }

        const Functions& winmm;
        MidiInputPort& source;
        MidiInputPortCallback& callback;
        HMIDIIN handle = nullptr;
        std::array<Buffer, bufferCount> buffers;

        std::mutex lock;
        std::condition_variable givenBack;
        SysexAssembler assembler; // guarded by the lock, as are the fields below
        int lent = 0; // buffers that the driver holds
        bool delivering = false, closing = false;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InputConnection)
    };

    //==============================================================================
    class WinMidiInputPort final : public MidiInputPort
    {
    public:
        WinMidiInputPort (const Functions& winmm, juce::MidiDeviceInfo device, MidiInputPortCallback& callback)
            : info (std::move (device)), connection (std::make_unique<InputConnection> (winmm, *this, callback))
        {
        }

        ~WinMidiInputPort() override
        {
            // Left to a driver that keeps a buffer, with the device, as an output's is.
            if (! connection->close())
                connection.release();
        }

        void open (UINT index) { connection->open (index); }

        juce::String getName() const override { return info.name; }
        juce::String getIdentifier() const override { return info.identifier; }
        void start() override { connection->start(); }
        void stop() override { connection->stop(); }

    private:
        const juce::MidiDeviceInfo info;
        std::unique_ptr<InputConnection> connection;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WinMidiInputPort)
    };
} // namespace

//==============================================================================
juce::Array<juce::MidiDeviceInfo> listOutputs (const Functions& winmm)
{
    return listDevices (winmm.outGetNumDevs(), winmm.outGetDevCaps, winmm.outMessage);
}

juce::Array<juce::MidiDeviceInfo> listInputs (const Functions& winmm)
{
    return listDevices (winmm.inGetNumDevs(), winmm.inGetDevCaps, winmm.inMessage);
}

std::unique_ptr<MidiOutputPort> openOutput (const Functions& winmm, const juce::String& identifier)
{
    const auto devices = listOutputs (winmm);
    const auto index = indexOf (devices, identifier);

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
        throwOpenFailure (winmm, result);
    }

    return std::make_unique<WinMidiOutputPort> (winmm, devices[index], handle, done);
}

std::unique_ptr<MidiInputPort> openInput (const Functions& winmm, const juce::String& identifier, MidiInputPortCallback& callback)
{
    const auto devices = listInputs (winmm);
    const auto index = indexOf (devices, identifier);

    if (index < 0)
        return nullptr;

    auto port = std::make_unique<WinMidiInputPort> (winmm, devices[index], callback);
    port->open ((UINT) index);
    return port;
}
} // namespace WinMidi
