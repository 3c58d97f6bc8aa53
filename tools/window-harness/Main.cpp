// Runs the updater's own application object and window on in-process MIDI
// ports, with a simulated Zarvik where one is wanted, and brings the window
// into one of its states for a screenshot or a test:
//
//   zarvik-window-harness STATE
//
// STATE is no-hardware, detected, instructions, started (an update has just
// begun), updating, complete, aborted, refused (a unit without the rehearsal
// marker, in a build with test firmware), up-to-date or did-not-take (the unit
// restarted after an update, with the versions carried or with its audio
// processor's old one, and the completion message dismissed).
// Prints READY on stdout once the window shows that state, then runs until
// its window is closed or the process is ended.
#include "app/RZ41FirmwareUpdaterApplication.h"
#include "tools/simulator/InProcessMidiPorts.h"
#include "tools/simulator/InProcessZarvik.h"

#include <iostream>

namespace
{
// Children of the main component, in the order they are added.
constexpr int updateButtonChild = 1;
constexpr int hardwareStatusChild = 3;
constexpr int currentControlChild = 9;
constexpr int statusRowChild = 15;
constexpr int checkSummaryChild = 18;

int fail (const juce::String& what)
{
    std::cerr << "zarvik-window-harness: " << what << std::endl;
    return 1;
}

bool alertIsOpen (const juce::String& title)
{
    for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
        if (auto* alert = dynamic_cast<juce::AlertWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
            if (alert->getName() == title && alert->isShowing())
                return true;

    return false;
}

/** Takes the window through a list of steps, each waiting for its condition
    before it acts, and says READY after the last one. */
class StateDriver final : private juce::Timer
{
public:
    struct Step
    {
        std::function<bool()> ready;
        std::function<void()> action;
    };

    explicit StateDriver (std::vector<Step> stepsToRun)
        : steps (std::move (stepsToRun)) { startTimer (20); }
    ~StateDriver() override { stopTimer(); }

private:
    void timerCallback() override
    {
        if (next >= steps.size())
        {
            // READY waits a few ticks after the last step, until the window has been painted.
            if (++settleTicks > 10)
            {
                stopTimer();
                std::cout << "READY" << std::endl;
            }

            return;
        }

        if (! steps[next].ready())
            return;

        // The action may open a modal dialog and not return until it closes:
        // move on first, so the steps after it still run from inside that loop.
        auto action = steps[next++].action;

        if (action)
            action();
    }

    std::vector<Step> steps;
    size_t next = 0;
    int settleTicks = 0;
};
}

int main (int argc, char* argv[])
{
    const juce::StringArray states { "no-hardware", "detected", "instructions", "started", "updating", "complete", "aborted", "refused", "up-to-date", "did-not-take" };
    const juce::String state (argc == 2 ? argv[1] : "");

    if (! states.contains (state))
        return fail ("usage: zarvik-window-harness " + states.joinIntoString ("|"));

    // X error handling and Xlib's thread support are set up only for a standalone application.
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase*
    { return nullptr; };
    const juce::ScopedJuceInitialiser_GUI gui;

    InProcessMidiPorts ports;
    std::unique_ptr<InProcessZarvik> zarvik;

    if (state != "no-hardware")
    {
        zarvik = std::make_unique<InProcessZarvik> (ports);

        // A unit one release behind the firmware the updater carries.
        zarvik->getUnit().setVersion (0, { 0, 0, 3, 5 });
        zarvik->getUnit().setVersion (1, { 0, 0, 2, 4 });
        zarvik->getUnit().setVersion (2, { 0, 0, 2, 4 });
        zarvik->getUnit().setRehearsalMarker (state != "refused");
    }

    auto app = std::make_unique<RZ41FirmwareUpdaterApplication> (ports);
    app->initialise ({});

    auto& component = *app->getMainComponent();
    const auto text = [&component] (int child)
    { return dynamic_cast<juce::Label*> (component.getChildComponent (child))->getText(); };
    const auto versionsShown = [&]
    { return text (hardwareStatusChild) == "Hardware Detected" && text (currentControlChild + 2).isNotEmpty(); };
    const auto detected = [&]
    { return versionsShown() && app->getController()->canUpdateConnectedUnit(); };
    const auto clickUpdate = [&component]
    { dynamic_cast<juce::Button*> (component.getChildComponent (updateButtonChild))->triggerClick(); };
    const auto shown = [&component]
    { return component.isShowing(); };
    const auto startUpdate = [&app]
    { app->getController()->startUpdate (false); };

    std::vector<StateDriver::Step> steps;

    if (state == "no-hardware")
        steps.push_back ({ shown, {} });
    else if (state == "detected")
        steps.push_back ({ detected, {} });
    else if (state == "instructions")
        steps.push_back ({ detected, clickUpdate });
    else if (state == "started")
        steps.push_back ({ detected, startUpdate });
    else if (state == "updating" || state == "aborted")
    {
        steps.push_back ({ detected, startUpdate });

        // The graphics application image is through and its assets follow.
        steps.push_back ({ [&]
                           { return text (statusRowChild + 2).endsWith ("Graphic Assets Started"); },
                           {} });

        if (state == "aborted")
        {
            steps.back().action = [&]
            { zarvik->unplug (1); };
            steps.push_back ({ []
                               { return alertIsOpen ("Firmware Update Aborted"); },
                               {} });
        }
    }
    else if (state == "complete")
    {
        steps.push_back ({ detected, [&]
                           { app->getController()->startUpdate (true); } });
        steps.push_back ({ []
                           { return alertIsOpen ("Firmware Update Complete"); },
                           {} });
    }
    else if (state == "up-to-date" || state == "did-not-take")
    {
        steps.push_back ({ detected, [&]
                           { app->getController()->startUpdate (true); } });

        // The unit restarts, as its user resets it, while the message is open.
        steps.push_back ({ []
                           { return alertIsOpen ("Firmware Update Complete"); },
                           [&]
                           {
                               zarvik->unplug();
                               zarvik->getUnit().setVersion (0, { 0, 0, 3, 6 });
                               zarvik->getUnit().setVersion (1, { 0, 0, 2, (uint8_t) (state == "up-to-date" ? 5 : 4) });
                               zarvik->getUnit().setVersion (2, { 0, 0, 2, 5 });
                           } });
        steps.push_back ({ [&]
                           { return text (hardwareStatusChild) == "Hardware Not Detected"; },
                           [&]
                           { zarvik->plugIn(); } });
        steps.push_back ({ [&]
                           { return text (checkSummaryChild).startsWith (state == "up-to-date" ? "Up to date" : "The update did not take"); },
                           [&]
                           { juce::ModalComponentManager::getInstance()->cancelAllModalComponents(); } });
        steps.push_back ({ [&]
                           { return ! alertIsOpen ("Firmware Update Complete") && ! app->getController()->updateRunning; },
                           {} });
    }
    else if (state == "refused")
    {
        steps.push_back ({ versionsShown, clickUpdate });
        steps.push_back ({ []
                           { return alertIsOpen ("Test Firmware Only"); },
                           {} });
    }

    // After the instruction dialog's own step, READY is said from inside its modal loop.
    if (state == "instructions")
        steps.push_back ({ []
                           { return alertIsOpen ("Important Firmware Update Information"); },
                           {} });

    const StateDriver driver (std::move (steps));
    juce::MessageManager::getInstance()->runDispatchLoop();

    app.reset();
    return 0;
}
