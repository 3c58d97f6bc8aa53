#include "control/Controller.h"
#include "tests/TestImages.h"
#include "tests/TestUtilities.h"
#include "tests/control/RecordingListener.h"
#include "tests/midi/AlsaKernelHelpers.h"

#include <gtest/gtest.h>

using namespace AlsaKernelHelpers;
using TestUtilities::runUntil;

namespace
{
const char* const portNames[] = { "Zarvik Control", "Zarvik Audio", "Zarvik Graphics" };
const char* const itemNames[] = { "Control Firmware", "Audio Application Firmware", "Graphics Application Firmware" };
const juce::uint8 processorCodes[] = { 0x00, 0x10, 0x20 };

Bytes identityReply (juce::uint8 processorCode)
{
    Bytes reply { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, 0x00, 0x00, 0x00, 0x00, 0x03, 0x06, processorCode };
    reply.resize (36, 0x00);
    reply.push_back (0xf7);
    return reply;
}

/** Three programs, one per processor port, each sending its identity reply
        to whoever reads its port as fast as the sequencer takes it. A port can
        be taken away and brought back while the replies go on. */
class FloodingPeers final
{
public:
    FloodingPeers()
    {
        for (int processor = 0; processor < 3; ++processor)
            plugIn (processor);

        thread = std::thread ([this]
                              { run(); });
    }

    ~FloodingPeers()
    {
        stop = true;
        thread.join();
    }

    void plugIn (int processor)
    {
        const std::lock_guard<std::mutex> l (mutex);
        peers[(size_t) processor] = std::make_unique<PeerClient> (portNames[processor]);
    }

    void unplug (int processor)
    {
        const std::lock_guard<std::mutex> l (mutex);
        peers[(size_t) processor].reset();
    }

private:
    void run()
    {
        while (! stop)
        {
            {
                const std::lock_guard<std::mutex> l (mutex);

                for (int processor = 0; processor < 3; ++processor)
                    if (auto& peer = peers[(size_t) processor])
                        peer->sendSysex (identityReply (processorCodes[processor]));
            }

            std::this_thread::sleep_for (std::chrono::microseconds (300));
        }
    }

    std::mutex mutex;
    std::array<std::unique_ptr<PeerClient>, 3> peers;
    std::atomic<bool> stop { false };
    std::thread thread;
};

bool allListed()
{
    auto& system = MidiPortSystem::getSystemPorts();

    for (auto* name : portNames)
    {
        const auto inputs = system.getInputs();

        if (std::none_of (inputs.begin(), inputs.end(), [&] (const auto& info)
                          { return info.name == name; }))
            return false;
    }

    return true;
}
}

TEST (AlsaKernelConcurrency, TheControllerTakesRepliesFloodingInWhileThePollClosesAndReopensThePorts)
{
    if (! hasSequencer())
        GTEST_SKIP() << "no ALSA sequencer here; CTest runs these tests in a virtual machine (tests/vm/zarvik-vm)";

    FloodingPeers peers;
    ASSERT_TRUE (runUntil ([]
                           { return allListed(); }));

    MidiManager manager;
    juce::OwnedArray<FirmwareItem> items;

    for (int processor = 0; processor < 3; ++processor)
    {
        const auto image = TestImages::make (processorCodes[processor], 300);
        items.add (new FirmwareItem (image.data(), (int) image.size(), 256, 3, portNames[processor], itemNames[processor]));
    }

    RecordingListener listener;
    auto controller = std::make_unique<Controller> (&manager, &items, FirmwarePackage::Kind::release);
    controller->addListener (&listener);
    ASSERT_TRUE (runUntil ([&]
                           { return listener.versionReports >= 3; }));

    for (int cycle = 0; cycle < 4; ++cycle)
    {
        // The program behind one port exits: the poll closes every item port
        // while replies are being delivered on the others, then opens them
        // again once the program is back.
        const auto pulled = cycle % 3;
        const auto missingBefore = listener.count ("not detected");
        peers.unplug (pulled);
        ASSERT_TRUE (runUntil ([&]
                               { return listener.count ("not detected") > missingBefore; }))
            << "cycle " << cycle;

        peers.plugIn (pulled);
        controller->versionQueryPending = true;
        const auto versionsBefore = listener.versionReports;
        ASSERT_TRUE (runUntil ([&]
                               { return listener.versionReports > versionsBefore + 3; }))
            << "cycle " << cycle;
    }

    const auto reportsBefore = listener.lines.size();
    controller.reset();
    runUntil ([]
              { return false; },
              200);

    EXPECT_EQ (listener.lines.size(), reportsBefore);
    EXPECT_EQ (listener.reportsOffMessageThread, 0);
}
