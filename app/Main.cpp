#include <juce_gui_basics/juce_gui_basics.h>

class RZ41FirmwareUpdaterApplication final : public juce::JUCEApplication
{
public:
    const juce::String getApplicationName() override { return JUCE_APPLICATION_NAME_STRING; }
    const juce::String getApplicationVersion() override { return JUCE_APPLICATION_VERSION_STRING; }
    bool moreThanOneInstanceAllowed() override { return false; }

    void initialise (const juce::String&) override
    {
        window = std::make_unique<juce::DocumentWindow> (getApplicationName(), juce::Colours::lightgrey, juce::DocumentWindow::closeButton);
        window->setSize (500, 452);
        window->setVisible (true);
    }

    void shutdown() override { window = nullptr; }

private:
    std::unique_ptr<juce::DocumentWindow> window;
};

START_JUCE_APPLICATION (RZ41FirmwareUpdaterApplication)
