#pragma once

#include "tests/TestUtilities.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** Finds, reads and answers JUCE's alert windows the way a user would, by
    pressing their buttons or keys. All on the message thread. */
namespace DialogTestHelpers
{
inline juce::Array<juce::AlertWindow*> openAlerts()
{
    juce::Array<juce::AlertWindow*> alerts;

    for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
        if (auto* alert = dynamic_cast<juce::AlertWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
            if (alert->isCurrentlyModal (false))
                alerts.add (alert);

    return alerts;
}

inline int countAlerts (const juce::String& title)
{
    int count = 0;

    for (auto* alert : openAlerts())
        count += alert->getName() == title ? 1 : 0;

    return count;
}

inline juce::AlertWindow* findAlert (const juce::String& title)
{
    for (auto* alert : openAlerts())
        if (alert->getName() == title)
            return alert;

    return nullptr;
}

/** The alert's message: its accessible description is the title, ". " and the message. */
inline juce::String messageOf (const juce::AlertWindow& alert)
{
    return alert.getDescription().fromFirstOccurrenceOf (alert.getName() + ". ", false, false);
}

inline juce::StringArray buttonTextsOf (const juce::AlertWindow& alert)
{
    juce::StringArray texts;

    for (auto* child : alert.getChildren())
        if (auto* button = dynamic_cast<juce::TextButton*> (child))
            texts.add (button->getButtonText());

    return texts;
}

/** Clicks the button with that text; false when the alert has none. */
inline bool press (juce::AlertWindow& alert, const juce::String& buttonText)
{
    for (auto* child : alert.getChildren())
        if (auto* button = dynamic_cast<juce::TextButton*> (child))
            if (button->getButtonText() == buttonText)
            {
                button->triggerClick();
                return true;
            }

    return false;
}

/** Presses a key in the alert's window, as the keyboard would. */
inline void pressKey (juce::AlertWindow& alert, int keyCode)
{
    if (auto* peer = alert.getPeer())
        peer->handleKeyPress (juce::KeyPress (keyCode));
}

/** Dismisses every alert still open and lets their callbacks run. */
inline void closeAllAlerts()
{
    for (auto* alert : openAlerts())
        alert->exitModalState (0);

    TestUtilities::runUntil ([]
                             { return openAlerts().isEmpty(); },
                             2000);
    juce::MessageManager::getInstance()->runDispatchLoopUntil (20);
}

/** Answers the next alert with the given title from inside whatever modal
    loop shows it, and remembers what it saw. An empty button text presses
    Escape. The answer may wait a while, as a user reading the message does. */
class DialogAnswerer final : private juce::Timer
{
public:
    DialogAnswerer (juce::String titleToAnswer, juce::String buttonToPress, int answerAfterMs = 0)
        : title (std::move (titleToAnswer)), button (std::move (buttonToPress)), delayMs (answerAfterMs)
    {
        startTimer (10);
    }

    ~DialogAnswerer() override { stopTimer(); }

    bool answered() const noexcept { return done; }

    /** Runs when the alert is found, before it is answered. */
    std::function<void()> onSeen;

    juce::String seenMessage;
    juce::StringArray seenButtons;
    bool seenWarningIcon = false;

private:
    void timerCallback() override
    {
        auto* alert = findAlert (title);

        if (alert == nullptr || ! alert->isShowing())
            return;

        if (! seen)
        {
            seen = true;
            seenAt = juce::Time::getMillisecondCounter();
            seenMessage = messageOf (*alert);
            seenButtons = buttonTextsOf (*alert);
            seenWarningIcon = alert->getAlertType() == juce::MessageBoxIconType::WarningIcon;

            if (onSeen)
                onSeen();
        }

        if (juce::Time::getMillisecondCounter() - seenAt < (juce::uint32) delayMs)
            return;

        stopTimer();

        if (button.isEmpty())
            pressKey (*alert, juce::KeyPress::escapeKey);
        else
            press (*alert, button);

        done = true;
    }

    const juce::String title, button;
    const int delayMs;
    bool seen = false, done = false;
    juce::uint32 seenAt = 0;
};
}
