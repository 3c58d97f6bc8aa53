#include "WinMidi_Windows.h"
#include "midi/SysexAssembler.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <mmddk.h>
#include <mutex>
#include <stdexcept>
#include <thread>

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

    // What the driver tells of a device: its name, and its driver interface
    // where it has one. The interface names the device itself, so it stays
    // the same while other devices come and go.
    struct Identity
    {
        juce::String name, driverInterface;
    };

    // Asks the driver about one device of a direction: `device` is its index
    // or, cast, the handle of the open device. `Caps` is the direction's
    // capabilities structure, `Handle` its handle.
    template <typename Caps, typename Handle>
    Identity identify (UINT_PTR device,
                       MMRESULT (WINAPI* getCaps) (UINT_PTR, Caps*, UINT),
                       MMRESULT (WINAPI* message) (Handle, UINT, DWORD_PTR, DWORD_PTR))
    {
        Caps caps {};

        if (getCaps (device, &caps, sizeof (caps)) != MMSYSERR_NOERROR)
            caps.szPname[0] = 0;

        ULONG size = 0;
        WCHAR driverInterface[512] = {};
        const auto hasInterface = message ((Handle) device, DRV_QUERYDEVICEINTERFACESIZE, (DWORD_PTR) &size, 0) == MMSYSERR_NOERROR
                                  && size > 0 && size <= sizeof (driverInterface)
                                  && message ((Handle) device, DRV_QUERYDEVICEINTERFACE, (DWORD_PTR) driverInterface, sizeof (driverInterface)) == MMSYSERR_NOERROR;

        return { juce::String (caps.szPname), hasInterface ? juce::String (driverInterface) : juce::String() };
    }

    // The devices of one direction as the driver lists them now, each with
    // its identifier: its driver interface, or its name where it has none.
    struct Listing
    {
        std::vector<Identity> identities;
        juce::Array<juce::MidiDeviceInfo> devices;
    };

    template <typename Caps, typename Handle>
    Listing listDevices (UINT count,
                         MMRESULT (WINAPI* getCaps) (UINT_PTR, Caps*, UINT),
                         MMRESULT (WINAPI* message) (Handle, UINT, DWORD_PTR, DWORD_PTR))
    {
        Listing listing;
        juce::StringArray identifiers;

        for (UINT i = 0; i < count; ++i)
        {
            listing.identities.push_back (identify (i, getCaps, message));
            const auto& identity = listing.identities.back();
            identifiers.add (identity.driverInterface.isNotEmpty() ? identity.driverInterface : identity.name);
        }

        identifiers.appendNumbersToDuplicates (false, false, juce::CharPointer_UTF8 ("-"), juce::CharPointer_UTF8 (""));

        for (int i = 0; i < identifiers.size(); ++i)
            listing.devices.add ({ listing.identities[(size_t) i].name, identifiers[i] });

        return listing;
    }

    int indexOf (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& identifier)
    {
        for (int i = 0; i < devices.size(); ++i)
            if (devices[i].identifier == identifier)
                return i;

        return -1;
    }

    // A device is opened by its index, which a device that arrives or leaves
    // after the listing shifts: the device opened must be the one listed, or
    // a processor could be sent another one's firmware. The driver
    // interfaces are compared where both tell one: devices of one name
    // without them cannot be told apart, and stand for each other.
    template <typename Caps, typename Handle>
    juce::Result checkOpened (Handle handle,
                              const Identity& listed,
                              MMRESULT (WINAPI* getCaps) (UINT_PTR, Caps*, UINT),
                              MMRESULT (WINAPI* message) (Handle, UINT, DWORD_PTR, DWORD_PTR))
    {
        const auto opened = identify ((UINT_PTR) handle, getCaps, message);

        const auto sameInterface = opened.driverInterface.isEmpty() || listed.driverInterface.isEmpty() || opened.driverInterface == listed.driverInterface;

        if (opened.name == listed.name && sameInterface)
            return juce::Result::ok();

        return juce::Result::fail ("the system's devices changed while it was being opened, and it opened \"" + opened.name + "\" in its place");
    }

    [[noreturn]] void throwOpenFailure (const Functions& winmm, MMRESULT result)
    {
        if (result == MMSYSERR_ALLOCATED)
            throw PortError ({ PortFailure::Kind::heldByAnotherProgram, {} });

        throw PortError ({ PortFailure::Kind::refused, errorText (winmm, result) });
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
            // A header that the driver still holds after a reset, or will not
            // unprepare, is left to it with the device and its event: freeing
            // them could let the driver write into freed memory.
            if (kept != nullptr)
            {
                winmm.outReset (handle);
                const auto givenBack = ! kept->queued || waitUntilDone (kept->header, resetLimit);

                if (! givenBack || ! unprepare (kept->header))
                {
                    kept.release();
                    return;
                }
            }

            winmm.outClose (handle);
            CloseHandle (done);
        }

        juce::String getName() const override { return info.name; }

        // Asks the open device itself: a device that has gone has no capabilities.
        bool isPresent() const override
        {
            MIDIOUTCAPSW caps {};
            return winmm.outGetDevCaps ((UINT_PTR) handle, &caps, sizeof (caps)) == MMSYSERR_NOERROR;
        }

        PortFailure send (const void* data, size_t size, std::chrono::milliseconds timeLimit, std::chrono::steady_clock::time_point* handedOver) override
        {
            if (kept != nullptr)
                return { PortFailure::Kind::writeFailed, "the device never gave back an earlier buffer" };

            if (size == 0)
                return PortFailure::none();

            auto buffer = std::make_unique<Buffer> (data, size);
            auto& header = buffer->header;

            if (const auto result = winmm.outPrepareHeader (handle, &header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                return failure (result);

            if (const auto result = winmm.outLongMsg (handle, &header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
            {
                takeBack (std::move (buffer));
                return failure (result);
            }

            buffer->queued = true;

            if (! waitUntilDone (header, timeLimit))
            {
                // The driver gives every buffer back, marked done, on a reset;
                // until then it may still read this one.
                winmm.outReset (handle);

                if (waitUntilDone (header, resetLimit))
                    takeBack (std::move (buffer));
                else
                    kept = std::move (buffer);

                if (! listOutputs (winmm).contains (info))
                    return { PortFailure::Kind::unplugged, "the system no longer lists the device" };

                return { PortFailure::Kind::timedOut, "the device took nothing for " + juce::String (timeLimit.count()) + " ms" };
            }

            // The driver is done with the whole buffer: the next one's interval
            // counts from now, however late the driver was in saying so.
            if (handedOver != nullptr)
                *handedOver = std::chrono::steady_clock::now();

            if (const auto result = winmm.outUnprepareHeader (handle, &header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
            {
                kept = std::move (buffer);
                return failure (result);
            }

            return PortFailure::none();
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
            bool queued = false; // handed to the driver, which marks it done when it gives it back
        };

        PortFailure failure (MMRESULT result) const
        {
            return { meansUnplugged (result) ? PortFailure::Kind::unplugged : PortFailure::Kind::writeFailed, errorText (winmm, result) };
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

        // Frees a buffer that the driver is done with, once unprepared; one
        // that the driver will not unprepare is kept, never freed.
        void takeBack (std::unique_ptr<Buffer> buffer)
        {
            if (! unprepare (buffer->header))
                kept = std::move (buffer);
        }

        const Functions& winmm;
        const juce::MidiDeviceInfo info;
        const HMIDIOUT handle;
        const HANDLE done;
        std::unique_ptr<Buffer> kept; // still held or prepared by the driver

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WinMidiOutputPort)
    };

    //==============================================================================
    /** What an open input shares with the driver's thread: the SysEx buffers
        lent to the driver and the queue of what the driver reported. Inside
        its callback the driver only queues; a reader thread of the input's own
        assembles what was queued, delivers it and lends each buffer read back
        to the driver, as no winmm function may be called from the callback.
        The driver calls back until it has given every buffer back and the
        device is closed, so this outlives its port when the driver keeps one. */
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

        ~InputConnection() { stopReading(); }

        /** Opens the device of that index, checks that it is the one listed, and
            lends the driver every buffer; throws saying why. */
        void open (UINT index, const Identity& listed)
        {
            if (const auto result = winmm.inOpen (&handle, index, (DWORD_PTR) &InputConnection::driverCallback, (DWORD_PTR) this, CALLBACK_FUNCTION);
                result != MMSYSERR_NOERROR)
            {
                handle = nullptr;
                throwOpenFailure (winmm, result);
            }

            if (const auto opened = checkOpened (handle, listed, winmm.inGetDevCaps, winmm.inMessage); opened.failed())
            {
                winmm.inClose (handle);
                handle = nullptr;
                throw PortError ({ PortFailure::Kind::refused, opened.getErrorMessage() });
            }

            for (auto& buffer : buffers)
            {
                buffer.header.lpData = buffer.bytes.data();
                buffer.header.dwBufferLength = (DWORD) buffer.bytes.size();

                if (const auto result = winmm.inPrepareHeader (handle, &buffer.header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                    throwOpenFailure (winmm, result);

                buffer.prepared = true;

                if (const auto result = winmm.inAddBuffer (handle, &buffer.header, sizeof (MIDIHDR)); result != MMSYSERR_NOERROR)
                    throwOpenFailure (winmm, result);

                const std::lock_guard<std::mutex> l (queueLock);
                ++lent;
            }
        }

        void start()
        {
            {
                const std::lock_guard<std::mutex> d (deliveryLock);
                delivering = true;
            }

            {
                const std::lock_guard<std::mutex> l (queueLock);
                started = true;
            }

            winmm.inStart (handle);
        }

        void stop()
        {
            winmm.inStop (handle);

            {
                // What the driver reported while the port was started is still delivered.
                std::unique_lock<std::mutex> l (queueLock);
                started = false;
                const auto reported = queued;
                changed.wait (l, [this, reported]
                              { return taken >= reported; });
            }

            // Waits for a delivery under way. A message begun before the stop
            // would end after a gap: it is dropped.
            const std::lock_guard<std::mutex> d (deliveryLock);
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
                std::unique_lock<std::mutex> l (queueLock);
                closing = true;
                changed.wait (l, [this]
                              { return ! lending; });
            }

            // The driver gives every buffer back on a reset, through its
            // callback, from its own thread or from within the call.
            winmm.inReset (handle);

            auto allGivenBack = false;

            {
                std::unique_lock<std::mutex> l (queueLock);
                allGivenBack = changed.wait_for (l, resetLimit, [this]
                                                 { return lent == 0; });
            }

            // Once the reader has finished with what was queued, no one
            // touches a buffer but the driver.
            stopReading();

            if (! allGivenBack)
                return false;

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

        // The short messages that may wait for a reader held up by its
        // callback; past them, short messages are lost (never a buffer, of
        // which the queue holds no more than bufferCount besides).
        static constexpr size_t queueLimit = 1024;

        struct Buffer
        {
            std::array<char, bufferSize> bytes {};
            MIDIHDR header {};
            bool prepared = false;
        };

        // One report of the driver's callback.
        struct Event
        {
            UINT message;
            DWORD_PTR first; // the short message, or the header given back
            bool whileStarted;
            bool gapAfter; // messages after it were lost
        };

        static bool givesBufferBack (UINT message) { return message == MIM_LONGDATA || message == MIM_LONGERROR; }

        static void CALLBACK driverCallback (HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR first, DWORD_PTR)
        {
            if (message == MIM_DATA || message == MIM_LONGDATA || message == MIM_ERROR || message == MIM_LONGERROR)
                reinterpret_cast<InputConnection*> (instance)->queue (message, first);
        }

        // On the driver's thread, inside its callback: only queues.
        void queue (UINT message, DWORD_PTR first)
        {
            const std::lock_guard<std::mutex> l (queueLock);

            if (givesBufferBack (message))
            {
                --lent;
            }
            else if (events.size() >= queueLimit)
            {
                events.back().gapAfter = true;
                return;
            }

            events.push_back ({ message, first, started, false });
            ++queued;
            changed.notify_all();
        }

        // The reader thread: takes each event in order, then lends the buffer
        // it gave back to the driver again, unless the device closes.
        void read()
        {
            std::unique_lock<std::mutex> l (queueLock);

            for (;;)
            {
                changed.wait (l, [this]
                              { return quitting || ! events.empty(); });

                if (events.empty())
                    return;

                const auto event = events.front();
                events.pop_front();
                l.unlock();
                take (event);
                l.lock();
                ++taken;
                changed.notify_all();

                if (! givesBufferBack (event.message) || closing)
                    continue;

                lending = true;
                l.unlock();
                const auto lentAgain = winmm.inAddBuffer (handle, reinterpret_cast<MIDIHDR*> (event.first), sizeof (MIDIHDR)) == MMSYSERR_NOERROR;
                l.lock();
                lending = false;
                lent += lentAgain ? 1 : 0;
                changed.notify_all();
            }
        }

        // On the reader thread; the lock keeps stop() waiting until a delivery has finished.
        void take (const Event& event)
        {
            const std::lock_guard<std::mutex> d (deliveryLock);
            const auto deliver = delivering && event.whileStarted;

            if (event.message == MIM_DATA)
            {
                // A short message, or a real-time byte, packed from the low byte up.
                const uint8_t bytes[] { (uint8_t) event.first, (uint8_t) (event.first >> 8), (uint8_t) (event.first >> 16) };
                const auto size = (size_t) juce::jlimit (1, 3, juce::MidiMessage::getMessageLengthFromFirstByte (bytes[0]));

                if (deliver)
                    assembler.push (bytes, size);
            }
            else if (event.message == MIM_LONGDATA && deliver)
            {
                const auto* header = reinterpret_cast<const MIDIHDR*> (event.first);
                assembler.push (reinterpret_cast<const uint8_t*> (header->lpData), header->dwBytesRecorded);
            }
            else
            {
                // An error, or data that came while stopped: a gap in the stream.
                assembler.reset();
            }

            if (event.gapAfter)
                assembler.reset();
        }

        void stopReading()
        {
            {
                const std::lock_guard<std::mutex> l (queueLock);
                quitting = true;
            }

            changed.notify_all();

            if (reader.joinable())
                reader.join();
        }

        const Functions& winmm;
        MidiInputPort& source;
        MidiInputPortCallback& callback;
        HMIDIIN handle = nullptr;
        std::array<Buffer, bufferCount> buffers;

        std::mutex queueLock;
        std::condition_variable changed;
        std::deque<Event> events; // guarded by queueLock, as are the fields below
        int lent = 0; // buffers that the driver holds
        juce::uint64 queued = 0, taken = 0; // events, since the device was opened
        bool started = false, closing = false, lending = false, quitting = false;

        std::mutex deliveryLock;
        SysexAssembler assembler; // guarded by deliveryLock, as is delivering
        bool delivering = false;

        std::thread reader { [this]
                             { read(); } };

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

        void open (UINT index, const Identity& listed) { connection->open (index, listed); }

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
    return listDevices (winmm.outGetNumDevs(), winmm.outGetDevCaps, winmm.outMessage).devices;
}

juce::Array<juce::MidiDeviceInfo> listInputs (const Functions& winmm)
{
    return listDevices (winmm.inGetNumDevs(), winmm.inGetDevCaps, winmm.inMessage).devices;
}

std::unique_ptr<MidiOutputPort> openOutput (const Functions& winmm, const juce::String& identifier)
{
    const auto listing = listDevices (winmm.outGetNumDevs(), winmm.outGetDevCaps, winmm.outMessage);
    const auto index = indexOf (listing.devices, identifier);

    if (index < 0)
        return nullptr;

    const auto done = CreateEventW (nullptr, FALSE, FALSE, nullptr);

    if (done == nullptr)
        throw PortError ({ PortFailure::Kind::refused, "no event for the device could be made" });

    HMIDIOUT handle = nullptr;
    const auto result = winmm.outOpen (&handle, (UINT) index, (DWORD_PTR) done, 0, CALLBACK_EVENT);

    if (result != MMSYSERR_NOERROR)
    {
        CloseHandle (done);
        throwOpenFailure (winmm, result);
    }

    if (const auto opened = checkOpened (handle, listing.identities[(size_t) index], winmm.outGetDevCaps, winmm.outMessage); opened.failed())
    {
        winmm.outClose (handle);
        CloseHandle (done);
        throw PortError ({ PortFailure::Kind::refused, opened.getErrorMessage() });
    }

    return std::make_unique<WinMidiOutputPort> (winmm, listing.devices[index], handle, done);
}

std::unique_ptr<MidiInputPort> openInput (const Functions& winmm, const juce::String& identifier, MidiInputPortCallback& callback)
{
    const auto listing = listDevices (winmm.inGetNumDevs(), winmm.inGetDevCaps, winmm.inMessage);
    const auto index = indexOf (listing.devices, identifier);

    if (index < 0)
        return nullptr;

    auto port = std::make_unique<WinMidiInputPort> (winmm, listing.devices[index], callback);
    port->open ((UINT) index, listing.identities[(size_t) index]);
    return port;
}
} // namespace WinMidi
