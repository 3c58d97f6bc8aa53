#include "tests/control/ControllerTestSupport.h"

#include <atomic>
#include <thread>

using TestUtilities::runUntil;

namespace
{
/** One thread per processor that keeps sending that processor's identity
        reply to the host for as long as it lives, through whichever device of
        the unit is plugged in at the moment. */
class ReplyFlood final
{
public:
    explicit ReplyFlood (InProcessZarvik& zarvikToUse)
        : zarvik (zarvikToUse)
    {
        for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
            threads.emplace_back ([this, processor]
                                  { run (processor); });
    }

    ~ReplyFlood()
    {
        stop = true;

        for (auto& thread : threads)
            thread.join();
    }

    int getDelivered() const { return delivered; }

private:
    void run (int processor)
    {
        const auto reply = zarvik.getUnit().getIdentityReply (processor);
        const juce::MidiMessage message (reply.data(), (int) reply.size());

        while (! stop)
        {
            if (auto device = zarvik.getDevice (processor))
                delivered += device->sendToHost (message);

            // A burst far denser than any unit sends, yet one the message
            // thread keeps up with, so the queue does not grow without end.
            std::this_thread::sleep_for (std::chrono::microseconds (200));
        }
    }

    InProcessZarvik& zarvik;
    std::atomic<bool> stop { false };
    std::atomic<int> delivered { 0 };
    std::vector<std::thread> threads;
};

bool allInputsOpen (InProcessZarvik& zarvik)
{
    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
    {
        const auto device = zarvik.getDevice (processor);

        if (device == nullptr || device->getOpenInputCount() != 1)
            return false;
    }

    return true;
}
}

using ControllerConcurrency = ControllerTest;

TEST_F (ControllerConcurrency, RepliesFloodingInWhileThePollClosesAndReopensThePorts)
{
    addPackage (3, 3, 3, 3, 3);
    createController();
    ASSERT_TRUE (runUntil ([&]
                           { return allInputsOpen (zarvik); }));

    ReplyFlood flood (zarvik);

    for (int cycle = 0; cycle < 6; ++cycle)
    {
        // One port going closes every item port, the others while replies
        // are being delivered on them.
        const auto pulled = cycle % SimulatedZarvik::numProcessors;
        const auto other = (pulled + 1) % SimulatedZarvik::numProcessors;
        zarvik.unplug (pulled);
        ASSERT_TRUE (runUntil ([&]
                               { return zarvik.getDevice (other)->getOpenInputCount() == 0; }))
            << "cycle " << cycle;

        zarvik.plugIn (pulled);
        controller->versionQueryPending = true;
        const auto versionsBefore = listener.versionReports;
        ASSERT_TRUE (runUntil ([&]
                               { return allInputsOpen (zarvik) && listener.versionReports > versionsBefore; }))
            << "cycle " << cycle;
    }

    EXPECT_GT (flood.getDelivered(), 0);

    const auto reportsBefore = listener.lines.size();
    controller.reset();
    runUntil ([]
              { return false; },
              100);

    EXPECT_EQ (listener.lines.size(), reportsBefore);
    EXPECT_EQ (listener.reportsOffMessageThread, 0);
}

TEST_F (ControllerConcurrency, DestroyingTheControllerWhileRepliesFloodInReportsNothingAfterwards)
{
    addPackage (3, 3, 3, 3, 3);
    ReplyFlood flood (zarvik);

    for (int round = 0; round < 8; ++round)
    {
        createController();
        ASSERT_TRUE (runUntil ([&]
                               { return allInputsOpen (zarvik) && listener.versionReports > 0; }))
            << "round " << round;

        // Replies are queued for the message thread at this moment; none of
        // them may reach the listener once the controller is gone.
        listener.clear();
        controller.reset();
        runUntil ([]
                  { return false; },
                  20);
        EXPECT_TRUE (listener.lines.isEmpty()) << "round " << round;

        // The ports stay open after the controller; close them for the next round.
        for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
            manager.closeInputPort (SimulatedZarvik::getPortName (processor));
    }

    EXPECT_EQ (listener.reportsOffMessageThread, 0);
}
