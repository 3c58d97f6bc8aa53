#include "midi/native/WinMidi_Windows.h"

#include <mmddk.h>

#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace
{
using Bytes = std::vector<juce::uint8>;
using Clock = std::chrono::steady_clock;

/** A winmm driver of the tests' own behind the function table. Its own thread
    finishes each buffer late, as a USB driver does; it keeps the bytes it read
    from each buffer, then, and can fail, hold a buffer, or lose its device. */
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
        current = nullptr;
    }

    static const WinMidi::Functions functions;

    Fault fault = Fault::none;
    std::vector<Device> devices;
    UINT openedIndex = 0;
    MMRESULT openResult = MMSYSERR_NOERROR;
    bool closed = false;

    // Each buffer's bytes as the driver read them when it finished with it.
    std::vector<Bytes> received;
    std::vector<Clock::time_point> handedAt;
    int prepared = 0;
    int unpreparedWhileHeld = 0;
    LPMIDIHDR kept = nullptr;

    // Finishes a buffer it kept after a reset, reading it as it does so.
    void finishKeptBuffer()
    {
        const std::lock_guard<std::mutex> l (lock);
        finish (kept);
        kept = nullptr;
    }

private:
    static UINT WINAPI outGetNumDevs() { return (UINT) current->devices.size(); }

    static MMRESULT WINAPI outGetDevCaps (UINT_PTR index, LPMIDIOUTCAPSW caps, UINT)
    {
        current->devices.at (index).name.copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (caps->szPname), sizeof (caps->szPname));
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outMessage (HMIDIOUT device, UINT message, DWORD_PTR first, DWORD_PTR)
    {
        const auto& driverInterface = current->devices.at ((size_t) (UINT_PTR) device).driverInterface;

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
        EXPECT_EQ (flags, (DWORD) CALLBACK_EVENT);
        current->openedIndex = index;
        current->doneEvent = (HANDLE) event;
        *handle = (HMIDIOUT) (UINT_PTR) 0x1234;
        return current->openResult;
    }

    static MMRESULT WINAPI outClose (HMIDIOUT)
    {
        current->closed = true;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outPrepareHeader (HMIDIOUT, LPMIDIHDR header, UINT)
    {
        if (current->fault == Fault::prepareFails)
            return MMSYSERR_NOMEM;

        header->dwFlags |= MHDR_PREPARED;
        ++current->prepared;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outUnprepareHeader (HMIDIOUT, LPMIDIHDR header, UINT)
    {
        const std::lock_guard<std::mutex> l (current->lock);

        if ((header->dwFlags & MHDR_INQUEUE) != 0)
        {
            ++current->unpreparedWhileHeld;
            return MIDIERR_STILLPLAYING;
        }

        if (current->fault == Fault::unprepareFails)
            return MMSYSERR_ERROR;

        header->dwFlags &= ~(DWORD) MHDR_PREPARED;
        --current->prepared;
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI outLongMsg (HMIDIOUT, LPMIDIHDR header, UINT)
    {
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
        juce::String ("driver error " + juce::String ((int) result)).copyToUTF16 (reinterpret_cast<juce::CharPointer_UTF16::CharType*> (text), 64);
        return MMSYSERR_NOERROR;
    }

    static UINT WINAPI inGetNumDevs() { return 0; }
    static MMRESULT WINAPI inGetDevCaps (UINT_PTR, LPMIDIINCAPSW, UINT) { return MMSYSERR_BADDEVICEID; }

    // Called with the lock held.
    void finish (LPMIDIHDR header)
    {
        received.emplace_back (header->lpData, header->lpData + header->dwBufferLength);
        header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_INQUEUE) | MHDR_DONE;
        SetEvent (doneEvent);
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

    inline static FakeDriver* current = nullptr;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::pair<LPMIDIHDR, Clock::time_point>> queue;
    HANDLE doneEvent = nullptr;
    bool quitting = false;
    std::thread thread { [this]
                         { run(); } };
};

const WinMidi::Functions FakeDriver::functions { outGetNumDevs, outGetDevCaps, outMessage, outOpen, outClose, outPrepareHeader, outUnprepareHeader, outLongMsg, outReset, outGetErrorText, inGetNumDevs, inGetDevCaps };

class WinMidiOutput : public ::testing::Test
{
protected:
    std::unique_ptr<MidiOutputPort> openAudio()
    {
        return WinMidi::openOutput (FakeDriver::functions, WinMidi::listOutputs (FakeDriver::functions)[0].identifier);
    }

    juce::Result send (MidiOutputPort& port, const Bytes& bytes, Clock::time_point* handedOver = nullptr)
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
        ASSERT_TRUE (send (*port, buffer, &handedOver).wasOk());

        // The driver had finished with it, and it was unprepared, before send returned.
        ASSERT_EQ (driver.received.size(), driver.handedAt.size());
        EXPECT_EQ (driver.prepared, 0);
        EXPECT_LE (handedOver, driver.handedAt.back());
    }

    EXPECT_EQ (driver.received, buffers);
    EXPECT_EQ (driver.unpreparedWhileHeld, 0);
}

//==============================================================================
struct FaultCase
{
    FakeDriver::Fault fault;
    const char* reason; // how the failure's message starts
    const char* name;
};

class WinMidiOutputFailure : public WinMidiOutput, public ::testing::WithParamInterface<FaultCase>
{
};

TEST_P (WinMidiOutputFailure, FailsSayingWhyAndUnpreparesOnlyWhatTheDriverGaveBack)
{
    auto port = openAudio();
    driver.fault = GetParam().fault;

    const auto result = send (*port, Bytes (256, 0x41));

    EXPECT_TRUE (result.getErrorMessage().startsWith (GetParam().reason)) << result.getErrorMessage();
    EXPECT_EQ (driver.prepared, driver.fault == FakeDriver::Fault::unprepareFails ? 1 : 0);
    EXPECT_EQ (driver.unpreparedWhileHeld, 0);
}

INSTANTIATE_TEST_SUITE_P (EveryFault,
                          WinMidiOutputFailure,
                          ::testing::Values (FaultCase { FakeDriver::Fault::prepareFails, "write failed: driver error 7", "PrepareFails" },
                                             FaultCase { FakeDriver::Fault::unplugDuringSend, "unplugged: driver error 6", "UnpluggedDuringSend" },
                                             FaultCase { FakeDriver::Fault::neverFinishes, "write timed out: the device took nothing for 50 ms", "NeverFinishes" },
                                             FaultCase { FakeDriver::Fault::vanishesWhileSending, "unplugged: ", "VanishesWhileSending" },
                                             FaultCase { FakeDriver::Fault::unprepareFails, "write failed: driver error 1", "UnprepareFails" }),
                          [] (const auto& info)
                          { return std::string (info.param.name); });

TEST_F (WinMidiOutput, ABufferTheDriverKeepsAfterAResetIsLeftToItAndTheDeviceIsNeverClosedUnderIt)
{
    auto port = openAudio();
    driver.fault = FakeDriver::Fault::keepsBufferAfterReset;
    const Bytes bytes (256, 0x44);

    EXPECT_TRUE (send (*port, bytes).getErrorMessage().startsWith ("write timed out: "));
    EXPECT_TRUE (send (*port, bytes).getErrorMessage().startsWith ("write failed: "));
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
