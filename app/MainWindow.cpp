#include "MainWindow.h"

MainWindow::MainWindow (juce::Component* content)
    : juce::DocumentWindow (ZARVIK_PRODUCT_NAME, juce::Colours::lightgrey, juce::DocumentWindow::closeButton, true)
{
    setUsingNativeTitleBar (true);
    setContentNonOwned (content, true);
    setVisible (true);
    centreWithSize (getWidth(), getHeight());

    // Key presses must reach the content, whose key listener arms the alternative
    // instructions; when the system activates the window, the focus passes down to it.
    setWantsKeyboardFocus (false);
    content->grabKeyboardFocus();
}

MainWindow::~MainWindow() = default;

void MainWindow::closeButtonPressed()
{
    if (auto* app = juce::JUCEApplication::getInstance())
        app->systemRequestedQuit();
}
