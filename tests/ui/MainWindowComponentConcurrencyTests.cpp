#include "DialogTestHelpers.h"
#include "app/MainWindow.h"
#include "tools/simulator/InProcessMidiPorts.h"
#include "ui/MainWindowComponent.h"

#include <gtest/gtest.h>

namespace
{
constexpr int statusRow0 = 15;

class ReportingThread final : public juce::Thread
{
public:
    explicit ReportingThread (std::function<void()> work)
        : juce::Thread ("reports"), body (std::move (work)) {}
    ~ReportingThread() override { stopThread (10000); }

    void run() override { body(); }

private:
    std::function<void()> body;
};

class MainWindowComponentConcurrency : public ::testing::Test
{
protected:
    juce::String statusRow (int row) { return dynamic_cast<juce::Label*> (component.getChildComponent (statusRow0 + row))->getText(); }

    InProcessMidiPorts ports;
    MidiManager midiManager { ports };
    juce::OwnedArray<FirmwareItem> items;
    Controller controller { &midiManager, &items, FirmwarePackage::Kind::release };
    MainWindowComponent component { &controller };
    MainWindow window { &component };
};
}

// The handlers that change what is painted take the message thread's lock, so
// a report from another thread never overlaps painting or the progress bar's timer.
TEST_F (MainWindowComponentConcurrency, ReportsFromAnotherThreadNeverOverlapThePainting)
{
    constexpr int reports = 300;
    std::atomic<int> done { 0 };

    ReportingThread thread ([&]
                            {
                                for (int i = 0; i < reports; ++i)
                                {
                                    component.hardwareDetectedChanged (i % 2 == 0);
                                    component.progressChanged ((double) i / (double) reports);
                                    component.firmwareItemStateChanged (i % 5, i % 4);
                                    done = i + 1;
                                } });
    thread.startThread();

    // Meanwhile the window is painted again and again, reading every label.
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          {
                                              component.repaint();
                                              component.createComponentSnapshot (component.getLocalBounds());
                                              return done == reports; },
                                          60000));
    ASSERT_TRUE (thread.waitForThreadToExit (10000));

    EXPECT_EQ (statusRow (0), "Zarvik Control: Control Firmware Sending");
    EXPECT_EQ (statusRow (1), "Zarvik Audio: Audio Assets Started");
    EXPECT_EQ (statusRow (2), "Zarvik Graphics: Graphic Assets Sending");
    EXPECT_TRUE (DialogTestHelpers::openAlerts().isEmpty());
}

// A thread that is told to stop while it waits for the lock gives up, and the
// report is dropped, rather than the program hanging.
TEST_F (MainWindowComponentConcurrency, AThreadToldToStopWhileWaitingForTheLockDropsItsReport)
{
    juce::WaitableEvent aboutToReport;

    ReportingThread thread ([&]
                            {
                                aboutToReport.signal();
                                component.firmwareItemStateChanged (0, 1); });
    thread.startThread();

    // The message thread is busy here, so the report cannot get the lock.
    ASSERT_TRUE (aboutToReport.wait (10000));
    thread.signalThreadShouldExit();
    ASSERT_TRUE (thread.waitForThreadToExit (10000));

    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    EXPECT_EQ (statusRow (0), "");
}
