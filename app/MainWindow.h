#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/**
    The top-level window: frames the main component, which it neither owns nor
    resizes, at the component's size, centred on the screen, with the system's
    title bar and a close button only. The close button asks the running
    application to quit. Lives on the message thread.
*/
class MainWindow final : public juce::DocumentWindow
{
public:
    /** Shows `content`, which must outlive the window, and gives it the keyboard focus. */
    explicit MainWindow (juce::Component* content);
    ~MainWindow() override;

    void closeButtonPressed() override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
};
