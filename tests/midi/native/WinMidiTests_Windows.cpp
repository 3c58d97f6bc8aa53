#include "midi/native/WinMidi_Windows.h"
#include "tests/MidiTestHelpers.h"
#include "tests/TestUtilities.h"

#include <malloc.h>
#include <mmddk.h>
#include <psapi.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <thread>

namespace
{
using Bytes = std::vector<juce::uint8>;
using Clock = std::chrono::steady_clock;

/** The headers that the fake driver has prepared and not unprepared yet,
    checked against every block of memory that the process frees: one freed
    while still prepared is counted. Constant-initialised, allocating
    nothing and guarded by a spin lock, as operator delete uses it on any
    thread at any time, the program's end included. */
class PreparedHeaders
{
public:
    void add (const MIDIHDR* header)
    {
        const Hold hold (busy);

        if (count < headers.size())
            headers[count++] = header;
    }

    void remove (const MIDIHDR* header)
    {
        const Hold hold (busy);

        for (size_t i = count; i-- > 0;)
            if (headers[i] == header)
                headers[i] = headers[--count];
    }

    // A header in the block is counted once, and forgotten with it.
    void freed (const void* block, size_t size)
    {
        const auto* begin = static_cast<const char*> (block);
        const Hold hold (busy);

        for (size_t i = count; i-- > 0;)
        {
            if (reinterpret_cast<const char*> (headers[i]) >= begin && reinterpret_cast<const char*> (headers[i]) < begin + size)
            {
                ++freedWhilePrepared;
                headers[i] = headers[--count];
            }
        }
    }

    int getFreedWhilePrepared()
    {
        const Hold hold (busy);
        return freedWhilePrepared;
    }

private:
    struct Hold
    {
        explicit Hold (std::atomic_flag& flagToHold)
            : flag (flagToHold)
        {
            while (flag.test_and_set (std::memory_order_acquire))
                std::this_thread::yield();
        }

        ~Hold() { flag.clear (std::memory_order_release); }

        std::atomic_flag& flag;
    };

    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::array<const MIDIHDR*, 256> headers {};
    size_t count = 0;
    int freedWhilePrepared = 0;
};

PreparedHeaders preparedHeaders;
} // namespace

// The test program's own operator delete: whatever it frees is checked first.
void operator delete (void* block) noexcept
{
    if (block != nullptr)
        preparedHeaders.freed (block, _msize (block));

    std::free (block);
}

void operator delete (void* block, std::size_t size) noexcept
{
    if (block != nullptr)
        preparedHeaders.freed (block, size);

    std::free (block);
}

namespace
{
/** A winmm driver of the tests' own behind the function table. Its own thread
    finishes each buffer late, as a USB driver does; it keeps the bytes it read
    from each buffer, then, and can fail, hold a buffer, or lose its device.
    Another thread of its own delivers what the device sends to an open input:
    short messages, and long data written into the SysEx buffers lent to it,
    each given back when full or when the data ends. Like a driver with
    notifications still queued, it delivers whether the input is started or
    not: what reaches the port's callback is the port's own decision. A reset
    gives the input's buffers back from within the call, through the
    callback, as Wine's driver does.

    Its device list can change between a listing and an open, and the handle
    of an open device tells that device's name and interface. It fails the
    test when a winmm function is called from inside its callback, where a
    real driver may deadlock, or when a header it holds prepared is freed. */
class FakeDriver final
{
public:
    enum class Fault
    {
        none,
        prepareFails,
        unplugDuringSend,
        neverFinishes,
        vanishesWhileSending,
        keepsBufferAfterReset,
        unprepareFails
    };

    struct Device
    {
        juce::String name, driverInterface;
    };

    explicit FakeDriver (std::vector<Device> devicesToList)
        : devices (std::move (devicesToList))
    {
        current = this;
    }

    ~FakeDriver()
    {
        {
            const std::lock_guard<std::mutex> l (lock);
            quitting = true;
        }

        wake.notify_all();
        thread.join();
        inputThread.join();
        current = nullptr;

        EXPECT_TRUE (callsFromCallback.isEmpty()) << "called from inside the driver's callback: " << callsFromCallback.joinIntoString (", ");
        EXPECT_EQ (preparedHeaders.getFreedWhilePrepared(), freedBefore) << "a header was freed while still prepared";
    }

    /** What the device sends: a short message, or long data (`endless` data
        bytes after an F0 when it is not zero, made as they go out). */
    struct Sent
    {
        DWORD shortMessage = 0;
        Bytes bytes;
        size_t endless = 0;

        size_t size() const { return endless > 0 ? endless + 1 : bytes.size(); }
        juce::uint8 at (size_t i) const { return endless == 0 ? bytes[i] : (i == 0 ? 0xf0 : 0x55); }
    };

    void send (const std::vector<Sent>& sent)
    {
        const std::lock_guard<std::mutex> l (lock);
        incoming.insert (incoming.end(), sent.begin(), sent.end());
        wake.notify_all();
    }

    // Waits until everything sent has been delivered.
    bool waitUntilDelivered()
    {
        return TestUtilities::runUntil ([this]
                                        {
                                            const std::lock_guard<std::mutex> l (lock);
                                            return incoming.empty() && callsUnderWay == 0; });
    }

    void forgetInput()
    {
        const std::lock_guard<std::mutex> l (lock);
        incoming.clear();
        position = 0;
        inClosed = false;
    }

    static const WinMidi::Functions functions;

    Fault fault = Fault::none;
    std::vector<Device> devices;
    std::optional<std::vector<Device>> devicesAtOpen; // what the list has become when a device is opened
    UINT openedIndex = 0;
    MMRESULT openResult = MMSYSERR_NOERROR;
    bool closed = false;

    // Each buffer's bytes as the driver read them when it finished with it.
    std::vector<Bytes> received;
    std::vector<Clock::time_point> handedAt;
    int prepared = 0;
    int unpreparedWhileHeld = 0;
    bool inStarted = false, inClosed = false;
    LPMIDIHDR kept = nullptr;

    // Finishes a buffer it kept after a reset, reading it as it does so.
    void finishKeptBuffer()
    {
        const std::lock_guard<std::mutex> l (lock);
        finish (kept);
        kept = nullptr;
    }

private:
    // Records a call made from inside the callback.
    static void entered (const char* function)
    {
        if (insideCallback)
        {
            const std::lock_guard<std::mutex> l (current->callsLock);
            current->callsFromCallback.addIfNotAlreadyThere (function);
        }
    }

    // The device of an index, or of the handle of an open one.
    static const Device* deviceOf (UINT_PTR device)
    {
        auto& driver = *current;

        if (device == (UINT_PTR) outHandle)
            return &driver.openedOutput;

        if (device == (UINT_PTR) inHandle)
            return &driver.openedInput;

        return device < driver.devices.size() ? &driver.devices[device] : nullptr;
    }

    // The device of an index at the moment it is opened.
    static const Device* openingDevice (UINT index)
    {
        auto& driver = *current;

        if (driver.devicesAtOpen.has_value())
            driver.devices = *std::exchange (driver.devicesAtOpen, std::nullopt);

        driver.openedIndex = index;
        return index < driver.devices.size() ? &driver.devices[index] : nullptr;
    }

    // Inputs and outputs list the same devices.
    static UINT WINAPI getNumDevs()
    {
        entered ("midiGetNumDevs");
        return (UINT) current->devices.size();
    }

    template <typename Caps>
    static MMRESULT WINAPI getDevCaps (UINT_PTR index, Caps* caps, UINT)
    {
        entered ("midiGetDevCaps");
        const auto* device = deviceOf (index);

        if (device == nullptr)
            return MMSYSERR_BADDEVICEID;

        device->name.copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (caps->szPname), sizeof (caps->szPname));
        return MMSYSERR_NOERROR;
    }

    template <typename Handle>
    static MMRESULT WINAPI driverMessage (Handle handle, UINT message, DWORD_PTR first, DWORD_PTR)
    {
        entered ("midiMessage");
        const auto* device = deviceOf ((UINT_PTR) handle);

        if (device == nullptr)
            return MMSYSERR_BADDEVICEID;

        const auto& driverInterface = device->driverInterface;

        if (driverInterface.isEmpty())
            return MMSYSERR_NOTSUPPORTED;

        if (message == DRV_QUERYDEVICEINTERFACESIZE)
            *reinterpret_cast<ULONG*> (first) = (ULONG) (juce::CharPointer_UTF16::getBytesRequiredFor (driverInterface.getCharPointer()) + 2);
        else
            driverInterface.copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (first), 512);

        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outOpen (LPHMIDIOUT handle, UINT index, DWORD_PTR event, DWORD_PTR, DWORD flags)
    {
        entered ("midiOutOpen");
        EXPECT_EQ (flags, (DWORD) CALLBACK_EVENT);
        const auto* device = openingDevice (index);

        if (device == nullptr)
            return MMSYSERR_BADDEVICEID;

        current->openedOutput = *device;
        current->doneEvent = (HANDLE) event;
        *handle = outHandle;
        return current->openResult;
    }

    static MMRESULT WINAPI outClose (HMIDIOUT)
    {
        entered ("midiOutClose");
        current->closed = true;
        return MMSYSERR_NOERROR;
    }

    template <typename Handle>
    static MMRESULT WINAPI prepareHeader (Handle, LPMIDIHDR header, UINT)
    {
        entered ("midiPrepareHeader");

        if (current->fault == Fault::prepareFails)
            return MMSYSERR_NOMEM;

        header->dwFlags |= MHDR_PREPARED;
        ++current->prepared;
        preparedHeaders.add (header);
        return MMSYSERR_NOERROR;
    }

    template <typename Handle>
    static MMRESULT WINAPI unprepareHeader (Handle, LPMIDIHDR header, UINT)
    {
        entered ("midiUnprepareHeader");
        const std::lock_guard<std::mutex> l (current->lock);

        if ((header->dwFlags & MHDR_INQUEUE) != 0)
        {
            ++current->unpreparedWhileHeld;
            return MIDIERR_STILLPLAYING;
        }

        if (current->fault == Fault::unprepareFails)
            return MMSYSERR_ERROR;

        // A device that has gone answers nothing any more.
        if (current->fault == Fault::unplugDuringSend)
            return MMSYSERR_NODRIVER;

        header->dwFlags &= ~(DWORD) MHDR_PREPARED;
        --current->prepared;
        preparedHeaders.remove (header);
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outLongMsg (HMIDIOUT, LPMIDIHDR header, UINT)
    {
        entered ("midiOutLongMsg");
        auto& driver = *current;
        driver.handedAt.push_back (Clock::now());

        if ((header->dwFlags & MHDR_PREPARED) == 0)
            return MIDIERR_UNPREPARED;

        if (driver.fault == Fault::unplugDuringSend)
            return MMSYSERR_NODRIVER;

        const std::lock_guard<std::mutex> l (driver.lock);
        header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_DONE) | MHDR_INQUEUE;

        if (driver.fault == Fault::vanishesWhileSending)
            driver.devices.clear();

        const auto keeps = driver.fault == Fault::neverFinishes || driver.fault == Fault::vanishesWhileSending || driver.fault == Fault::keepsBufferAfterReset;

        if (! keeps)
        {
            driver.queue.push_back ({ header, Clock::now() + std::chrono::milliseconds (3) });
            driver.wake.notify_all();
        }
        else
        {
            driver.kept = header;
        }

        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outReset (HMIDIOUT)
    {
        entered ("midiOutReset");
        auto& driver = *current;
        const std::lock_guard<std::mutex> l (driver.lock);

        if (driver.fault != Fault::keepsBufferAfterReset && driver.kept != nullptr)
        {
            driver.finish (driver.kept);
            driver.kept = nullptr;
        }

        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outGetErrorText (MMRESULT result, LPWSTR text, UINT)
    {
        entered ("midiOutGetErrorText");
        juce::String ("driver error " + juce::String ((int) result)).copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (text), 64);
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI inOpen (LPHMIDIIN handle, UINT index, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
    {
        entered ("midiInOpen");
        EXPECT_EQ (flags, (DWORD) CALLBACK_FUNCTION);
        const std::lock_guard<std::mutex> l (current->lock);
        const auto* device = openingDevice (index);

        if (device == nullptr)
            return MMSYSERR_BADDEVICEID;

        current->openedInput = *device;
        current->inCallback = reinterpret_cast<InputCallback> (callback);
        current->inInstance = instance;
        *handle = inHandle;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI inClose (HMIDIIN)
    {
        entered ("midiInClose");
        const std::lock_guard<std::mutex> l (current->lock);

        if (! current->lent.empty())
            return MIDIERR_STILLPLAYING;

        current->inCallback = nullptr;
        current->inClosed = true;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI inStart (HMIDIIN)
    {
        entered ("midiInStart");
        current->inStarted = true;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI inStop (HMIDIIN)
    {
        entered ("midiInStop");
        current->inStarted = false;
        return MMSYSERR_NOERROR;
    }

    // Gives every buffer lent back before it returns; a driver that keeps a
    // buffer after a reset keeps the first.
    static MMRESULT WINAPI inReset (HMIDIIN)
    {
        entered ("midiInReset");
        auto& driver = *current;
        std::unique_lock<std::mutex> l (driver.lock);
        auto held = std::exchange (driver.lent, {});

        if (driver.fault == Fault::keepsBufferAfterReset && ! held.empty())
        {
            driver.lent.push_back (held.front());
            held.pop_front();
        }

        for (; ! held.empty(); held.pop_front())
            driver.giveBack (l, held.front());

        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI inAddBuffer (HMIDIIN, LPMIDIHDR header, UINT)
    {
        entered ("midiInAddBuffer");

        if ((header->dwFlags & MHDR_PREPARED) == 0)
            return MIDIERR_UNPREPARED;

        const std::lock_guard<std::mutex> l (current->lock);
        header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_DONE) | MHDR_INQUEUE;
        header->dwBytesRecorded = 0;
        current->lent.push_back (header);
        current->wake.notify_all();
        return MMSYSERR_NOERROR;
    }

    // Called with the lock held.
    void finish (LPMIDIHDR header)
    {
        received.emplace_back (header->lpData, header->lpData + header->dwBufferLength);
        header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_INQUEUE) | MHDR_DONE;
        SetEvent (doneEvent);
    }

    // Calls the input's callback without the lock, as a driver's thread does.
    void callBack (std::unique_lock<std::mutex>& l, UINT message, DWORD_PTR first)
    {
        const auto function = inCallback;
        ++callsUnderWay;
        l.unlock();
        insideCallback = true;
        function (inHandle, message, inInstance, first, 0);
        insideCallback = false;
        l.lock();
        --callsUnderWay;
    }

    void giveBack (std::unique_lock<std::mutex>& l, LPMIDIHDR header)
    {
        header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_INQUEUE) | MHDR_DONE;
        callBack (l, MIM_LONGDATA, (DWORD_PTR) header);
    }

    void deliverInput()
    {
        std::unique_lock<std::mutex> l (lock);

        while (! quitting)
        {
            if (inCallback == nullptr || incoming.empty() || (incoming.front().size() > 0 && lent.empty()))
            {
                wake.wait (l);
                continue;
            }

            const auto next = incoming.front();

            if (next.size() == 0)
            {
                incoming.pop_front();
                callBack (l, MIM_DATA, next.shortMessage);
                continue;
            }

            const auto header = lent.front();
            lent.pop_front();

            while (header->dwBytesRecorded < header->dwBufferLength && position < next.size())
                header->lpData[header->dwBytesRecorded++] = (char) next.at (position++);

            if (position == next.size())
            {
                incoming.pop_front();
                position = 0;
            }

            giveBack (l, header);
        }
    }

    void run()
    {
        std::unique_lock<std::mutex> l (lock);

        while (! quitting)
        {
            if (queue.empty())
            {
                wake.wait (l);
                continue;
            }

            const auto [header, due] = queue.front();

            if (wake.wait_until (l, due) == std::cv_status::timeout)
            {
                queue.pop_front();
                finish (header);
            }
        }
    }

    using InputCallback = void (CALLBACK*) (HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

    inline static FakeDriver* current = nullptr;
    inline static thread_local bool insideCallback = false;
    inline static const auto outHandle = (HMIDIOUT) (UINT_PTR) 0x1234;
    inline static const auto inHandle = (HMIDIIN) (UINT_PTR) 0x5678;

    Device openedOutput, openedInput;
    std::mutex callsLock;
    juce::StringArray callsFromCallback;
    const int freedBefore = preparedHeaders.getFreedWhilePrepared();

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::pair<LPMIDIHDR, Clock::time_point>> queue;
    HANDLE doneEvent = nullptr;
    bool quitting = false;

    InputCallback inCallback = nullptr;
    DWORD_PTR inInstance = 0;
    std::deque<LPMIDIHDR> lent;
    std::deque<Sent> incoming;
    size_t position = 0; // in the long data being delivered
    int callsUnderWay = 0;

    std::thread thread { [this]
                         { run(); } };
    std::thread inputThread { [this]
                              { deliverInput(); } };
};

const WinMidi::Functions FakeDriver::functions { getNumDevs, getDevCaps, driverMessage, outOpen, outClose, prepareHeader, unprepareHeader, outLongMsg, outReset, outGetErrorText, getNumDevs, getDevCaps, driverMessage, inOpen, inClose, inStart, inStop, inReset, prepareHeader, unprepareHeader, inAddBuffer };

class WinMidiOutput : public ::testing::Test
{
protected:
    std::unique_ptr<MidiOutputPort> openAudio()
    {
        return WinMidi::openOutput (FakeDriver::functions, WinMidi::listOutputs (FakeDriver::functions)[0].identifier);
    }

    PortFailure send (MidiOutputPort& port, const Bytes& bytes, Clock::time_point* handedOver = nullptr)
    {
        return port.send (bytes.data(), bytes.size(), std::chrono::milliseconds (50), handedOver);
    }

    FakeDriver driver { { { "Zarvik Audio", {} } } };
};
} // namespace

//==============================================================================
TEST_F (WinMidiOutput, EveryBufferGoesWholeAndUnchangedAsOneLongMessageInOrderWhateverItsLengthAndFirstByte)
{
    auto port = openAudio();
    ASSERT_NE (port, nullptr);

    Bytes opening { 0xf0, 0x00, 0x20, 0x10, 0x33, 0x70 };
    opening.resize (256, 0x3a);
    const std::vector<Bytes> buffers { opening, Bytes (256, 0x41), { 0x42 }, { 0x0d, 0x0a }, { 0x30, 0x31, 0xf7 }, { 0xf7 }, Bytes (200, 0x43) };

    for (const auto& buffer : buffers)
    {
        Clock::time_point handedOver {};
        ASSERT_FALSE (send (*port, buffer, &handedOver).failed());

        // The driver had finished with it, and it was unprepared, before send
        // returned; the next buffer's interval counts from after that.
        ASSERT_EQ (driver.received.size(), driver.handedAt.size());
        EXPECT_EQ (driver.prepared, 0);
        EXPECT_GE (handedOver, driver.handedAt.back());
    }

    EXPECT_EQ (driver.received, buffers);
    EXPECT_EQ (driver.unpreparedWhileHeld, 0);
}

//==============================================================================
struct FaultCase
{
    FakeDriver::Fault fault;
    PortFailure::Kind kind;
    const char* detail; // how the system's words for it start
    bool keptPrepared; // the driver will not unprepare the header
    const char* name;
};

class WinMidiOutputFailure : public WinMidiOutput, public ::testing::WithParamInterface<FaultCase>
{
};

TEST_P (WinMidiOutputFailure, FailsSayingWhyAndNeverFreesAHeaderTheDriverHoldsOrKeepsPrepared)
{
    auto port = openAudio();
    driver.fault = GetParam().fault;

    const auto result = send (*port, Bytes (256, 0x41));

    EXPECT_EQ (result.kind, GetParam().kind) << result.describe();
    EXPECT_TRUE (result.detail.startsWith (GetParam().detail)) << result.describe();
    EXPECT_EQ (driver.prepared, GetParam().keptPrepared ? 1 : 0);
    EXPECT_EQ (driver.unpreparedWhileHeld, 0);

    // A header still prepared stays with the driver, and so does the device;
    // the fake fails the test if the header is freed.
    port.reset();
    EXPECT_EQ (driver.closed, ! GetParam().keptPrepared);
}

INSTANTIATE_TEST_SUITE_P (EveryFault,
                          WinMidiOutputFailure,
                          ::testing::Values (FaultCase { FakeDriver::Fault::prepareFails, PortFailure::Kind::writeFailed, "driver error 7", false, "PrepareFails" },
                                             FaultCase { FakeDriver::Fault::unplugDuringSend, PortFailure::Kind::unplugged, "driver error 6", true, "UnpluggedDuringSend" },
                                             FaultCase { FakeDriver::Fault::neverFinishes, PortFailure::Kind::timedOut, "the device took nothing for 50 ms", false, "NeverFinishes" },
                                             FaultCase { FakeDriver::Fault::vanishesWhileSending, PortFailure::Kind::unplugged, "", false, "VanishesWhileSending" },
                                             FaultCase { FakeDriver::Fault::unprepareFails, PortFailure::Kind::writeFailed, "driver error 1", true, "UnprepareFails" }),
                          [] (const auto& info)
                          { return std::string (info.param.name); });

TEST_F (WinMidiOutput, ABufferTheDriverKeepsAfterAResetIsLeftToItAndTheDeviceIsNeverClosedUnderIt)
{
    auto port = openAudio();
    driver.fault = FakeDriver::Fault::keepsBufferAfterReset;
    const Bytes bytes (256, 0x44);

    EXPECT_EQ (send (*port, bytes).kind, PortFailure::Kind::timedOut);
    EXPECT_EQ (send (*port, bytes).kind, PortFailure::Kind::writeFailed);
    EXPECT_EQ (driver.handedAt.size(), 1u) << "nothing more reaches a device that holds a buffer";

    port.reset();
    EXPECT_FALSE (driver.closed);

    // The driver reads the buffer when it finally lets go of it: still the bytes sent.
    driver.finishKeptBuffer();
    EXPECT_EQ (driver.received, std::vector<Bytes> { bytes });
}

//==============================================================================
TEST (WinMidiListing, NamesRepeatAsTheDriverListsThemWhileIdentifiersStayUniqueAndOpenTheirOwnDevice)
{
    FakeDriver driver ({ { "Zarvik Audio", {} }, { "Zarvik Control", "\\\\?\\usb#control" }, { "Zarvik Audio", {} } });
    const auto outputs = WinMidi::listOutputs (FakeDriver::functions);

    ASSERT_EQ (outputs.size(), 3);
    EXPECT_EQ (outputs[0].name, "Zarvik Audio");
    EXPECT_EQ (outputs[2].name, "Zarvik Audio");
    EXPECT_EQ (outputs[1].identifier, "\\\\?\\usb#control");
    EXPECT_NE (outputs[0].identifier, outputs[2].identifier);

    auto port = WinMidi::openOutput (FakeDriver::functions, outputs[2].identifier);
    ASSERT_NE (port, nullptr);
    EXPECT_EQ (driver.openedIndex, 2u);
    EXPECT_EQ (port->getName(), "Zarvik Audio");

    EXPECT_EQ (WinMidi::openOutput (FakeDriver::functions, "Zarvik Graphics"), nullptr);

    // Inputs by the same rules, so that each input is found beside its output.
    EXPECT_EQ (WinMidi::listInputs (FakeDriver::functions), outputs);
    MidiTestHelpers::RecordingCallback callback;
    driver.openedIndex = 0;
    EXPECT_NE (WinMidi::openInput (FakeDriver::functions, outputs[2].identifier, callback), nullptr);
    EXPECT_EQ (driver.openedIndex, 2u);
    EXPECT_EQ (WinMidi::openInput (FakeDriver::functions, "Zarvik Graphics", callback), nullptr);

    driver.openResult = MMSYSERR_ALLOCATED;
    EXPECT_THROW (
        {
            try
            {
                WinMidi::openOutput (FakeDriver::functions, outputs[1].identifier);
            }
            catch (const std::exception& e)
            {
                EXPECT_STREQ (e.what(), "held by another program");
                throw;
            }
        },
        std::runtime_error);
}

TEST (WinMidiListing, ADeviceThatArrivesOrLeavesBetweenTheListingAndTheOpenNeverGetsAnotherDeviceOpenedInItsPlace)
{
    using Device = FakeDriver::Device;
    const Device audio { "Zarvik Audio", {} }, control { "Zarvik Control", {} }, graphics { "Zarvik Graphics", {} };
    const Device firstUnit { "Zarvik Audio", "\\\\?\\usb#unit1" }, secondUnit { "Zarvik Audio", "\\\\?\\usb#unit2" }, thirdUnit { "Zarvik Audio", "\\\\?\\usb#unit3" };

    struct Case
    {
        std::vector<Device> listed, atOpen;
        int index; // of the device asked for, in the listing
        const char* openedInstead; // what its index leads to at the open, where that is another device
    };

    const Case cases[] {
        { { audio, control }, { graphics, audio, control }, 1, "Zarvik Audio" }, // one arrived before it
        { { control, audio, graphics }, { audio, graphics }, 1, "Zarvik Graphics" }, // one before it left
        { { firstUnit, secondUnit }, { secondUnit, thirdUnit }, 1, "Zarvik Audio" }, // another unit's took its index
        { { audio, control }, { audio, control, graphics }, 1, nullptr }, // one arrived after it
    };

    for (const auto& c : cases)
    {
        for (const auto output : { true, false })
        {
            SCOPED_TRACE (std::string (output ? "output" : "input") + ", case " + std::to_string (&c - cases));
            FakeDriver driver (c.listed);
            MidiTestHelpers::RecordingCallback callback;
            const auto identifier = WinMidi::listOutputs (FakeDriver::functions)[c.index].identifier;
            driver.devicesAtOpen = c.atOpen;

            PortFailure whyNot;
            auto opened = false;

            try
            {
                opened = output ? WinMidi::openOutput (FakeDriver::functions, identifier) != nullptr
                                : WinMidi::openInput (FakeDriver::functions, identifier, callback) != nullptr;
            }
            catch (const PortError& e)
            {
                whyNot = e.failure;
            }

            if (c.openedInstead == nullptr)
            {
                EXPECT_TRUE (opened) << whyNot.describe();
                continue;
            }

            EXPECT_EQ (whyNot.kind, PortFailure::Kind::refused);
            EXPECT_EQ (whyNot.detail, "the system's devices changed while it was being opened, and it opened \"" + juce::String (c.openedInstead) + "\" in its place");
            EXPECT_TRUE (output ? driver.closed : driver.inClosed) << "the device opened in its place is closed again";
        }
    }
}

//==============================================================================
namespace
{
using MidiTestHelpers::RecordingCallback;

FakeDriver::Sent shortMessage (juce::uint8 status, juce::uint8 first = 0, juce::uint8 second = 0)
{
    return { (DWORD) (status | first << 8 | second << 16), {}, 0 };
}

FakeDriver::Sent longData (Bytes bytes)
{
    return { 0, std::move (bytes), 0 };
}

Bytes identityReply()
{
    Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02 };
    reply.resize (36, 0x01);
    reply.push_back (0xf7);
    return reply;
}

class WinMidiInput : public ::testing::Test
{
protected:
    std::unique_ptr<MidiInputPort> openAudio()
    {
        return WinMidi::openInput (FakeDriver::functions, WinMidi::listInputs (FakeDriver::functions)[0].identifier, callback);
    }

    bool receive (size_t count)
    {
        return TestUtilities::runUntil ([&]
                                        { return callback.get().size() >= count; });
    }

    FakeDriver driver { { { "Zarvik Audio", {} } } };
    RecordingCallback callback;
};
} // namespace

TEST_F (WinMidiInput, AReplySplitAcrossBuffersAndMixedWithShortMessagesArrivesWholeAndInOrder)
{
    auto port = openAudio();
    ASSERT_NE (port, nullptr);
    EXPECT_EQ (port->getName(), "Zarvik Audio");
    port->start();

    // Three buffers' worth, interrupted by a clock byte as a driver passes it on.
    auto reply = identityReply();
    reply.insert (reply.end() - 1, 3000, 0x02);
    const Bytes head (reply.begin(), reply.begin() + 700), tail (reply.begin() + 700, reply.end());

    driver.send ({ shortMessage (0x90, 60, 100), longData (head), shortMessage (0xf8), longData (tail), shortMessage (0x80, 60, 0), longData (identityReply()) });

    ASSERT_TRUE (receive (5));
    EXPECT_EQ (callback.get(), (std::vector<Bytes> { { 0x90, 60, 100 }, { 0xf8 }, reply, { 0x80, 60, 0 }, identityReply() }));
    EXPECT_FALSE (callback.onMessageThread);
}

TEST_F (WinMidiInput, AnEndlessSysExHoldsNoMoreThanTheCapAndAReplyAfterItArrives)
{
    const auto workingSetKb = []
    {
        PROCESS_MEMORY_COUNTERS counters {};
        GetProcessMemoryInfo (GetCurrentProcess(), &counters, sizeof (counters));
        return (long) (counters.WorkingSetSize / 1024);
    };

    auto port = openAudio();
    port->start();

    // 10 MB of data bytes after an F0, never an F7.
    constexpr size_t streamBytes = 10 * 1024 * 1024;
    const auto before = workingSetKb();
    driver.send ({ { 0, {}, streamBytes }, longData (identityReply()) });

    ASSERT_TRUE (receive (1));
    const auto after = workingSetKb();
    std::cout << "[ memory   ] " << streamBytes / (1024 * 1024) << " MB streamed through 1 KiB buffers; working set " << before << " kB before, " << after << " kB after\n";

    EXPECT_EQ (callback.get(), std::vector<Bytes> { identityReply() });
    // Far below what was streamed; a port that held the message would hold it all.
    EXPECT_LT (after - before, 4 * 1024);
}

TEST_F (WinMidiInput, NothingIsDeliveredBeforeStartOrAfterStopAndAMessageCutByAStopIsDropped)
{
    auto port = openAudio();
    driver.send ({ shortMessage (0x90, 60, 100) });
    ASSERT_TRUE (driver.waitUntilDelivered());

    port->start();
    EXPECT_TRUE (driver.inStarted);
    driver.send ({ shortMessage (0x90, 61, 100), longData ({ 0xf0, 0x7e, 0x00 }) });
    ASSERT_TRUE (driver.waitUntilDelivered());

    port->stop();
    EXPECT_FALSE (driver.inStarted);
    driver.send ({ longData ({ 0x06, 0x02 }), shortMessage (0x90, 62, 100) });
    ASSERT_TRUE (driver.waitUntilDelivered());

    port->start();
    driver.send ({ longData ({ 0x01, 0xf7 }), shortMessage (0x90, 63, 100) });
    ASSERT_TRUE (receive (2));
    ASSERT_TRUE (driver.waitUntilDelivered());

    EXPECT_EQ (callback.get(), (std::vector<Bytes> { { 0x90, 61, 100 }, { 0x90, 63, 100 } }));
}

TEST_F (WinMidiInput, ACallbackHeldUpHoldsUpNeitherTheDriverNorItsBuffersAndLosesOnlyTheShortMessagesPastWhatItsPortQueues)
{
    std::atomic<bool> held { true };
    callback.onMessage = [&]
    {
        while (held)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    };

    auto port = openAudio();
    port->start();

    std::vector<Bytes> sent;

    for (int i = 0; i < 5000; ++i)
        sent.push_back ({ 0xb0, (juce::uint8) (i & 0x7f), (juce::uint8) ((i >> 7) & 0x7f) });

    // The first message holds the callback up; the driver goes on delivering
    // the rest and a reply after them.
    driver.send ({ shortMessage (0xb0) });
    ASSERT_TRUE (receive (1));

    std::vector<FakeDriver::Sent> rest;

    for (size_t i = 1; i < sent.size(); ++i)
        rest.push_back (shortMessage (sent[i][0], sent[i][1], sent[i][2]));

    rest.push_back (longData (identityReply()));
    driver.send (rest);

    const auto driverWentOn = driver.waitUntilDelivered();
    held = false;
    ASSERT_TRUE (driverWentOn) << "the driver was held up in its callback";

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return callback.get().back() == identityReply(); }));
    const auto got = callback.get();

    // The first messages in order, as many as the port queues, then the reply whole.
    ASSERT_LT (got.size(), sent.size() / 2);
    EXPECT_EQ (std::vector<Bytes> (got.begin(), got.end() - 1), std::vector<Bytes> (sent.begin(), sent.begin() + (std::ptrdiff_t) got.size() - 1));
}

TEST_F (WinMidiInput, ABufferTheDriverKeepsAfterAResetIsLeftToItPreparedWithTheDeviceOpen)
{
    auto port = openAudio();
    port->start();
    driver.send ({ longData (identityReply()) });
    ASSERT_TRUE (receive (1));

    driver.fault = FakeDriver::Fault::keepsBufferAfterReset;
    port.reset();

    // The fake fails the test if a header is freed.
    EXPECT_FALSE (driver.inClosed);
    EXPECT_GT (driver.prepared, 0);
    EXPECT_EQ (driver.unpreparedWhileHeld, 0);
}

class WinMidiInputConcurrency : public WinMidiInput
{
};

TEST_F (WinMidiInputConcurrency, ClosingWhileTheDriverDeliversGivesEveryBufferBackAndNothingArrivesAfterwards)
{
    std::atomic<bool> closed { false };
    std::atomic<int> afterClose { 0 };
    callback.onMessage = [&]
    {
        // Slow enough that a close often meets a delivery under way.
        std::this_thread::sleep_for (std::chrono::microseconds (200));
        afterClose += closed ? 1 : 0;
    };

    for (int round = 0; round < 20; ++round)
    {
        closed = false;
        auto port = openAudio();
        port->start();

        std::vector<FakeDriver::Sent> traffic;

        for (int i = 0; i < 200; ++i)
            traffic.insert (traffic.end(), { longData (identityReply()), shortMessage (0xf8) });

        driver.send (traffic);
        ASSERT_TRUE (TestUtilities::runUntil ([&]
                                              { return callback.get().size() > (size_t) round * 10; }));

        port.reset();
        closed = true;
        // A delivery that came after the close would show within this.
        std::this_thread::sleep_for (std::chrono::milliseconds (20));

        EXPECT_TRUE (driver.inClosed);
        EXPECT_EQ (driver.prepared, 0);
        EXPECT_EQ (driver.unpreparedWhileHeld, 0);
        driver.forgetInput();
    }

    EXPECT_EQ (afterClose, 0);
}
