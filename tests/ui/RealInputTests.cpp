#include "DialogTestHelpers.h"
#include "RealInput.h"
#include "UnpluggedWindow.h"

#include <gtest/gtest.h>

using namespace DialogTestHelpers;
using namespace RealInput;

// These drive the real window with key and mouse events from the X server.
namespace
{
constexpr auto standardTitle = "Important Firmware Update Information";
constexpr auto solvaneTitle = "Important Firmware Update Information (Solvane Mode)";

class RealInputTest : public ::testing::Test,
                      protected UnpluggedWindow
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (TestUtilities::runUntil ([this]
                                              { return window.isShowing() && component.hasKeyboardFocus (true); }))
            << "the window opens with the keyboard focus on its content";
    }

    void TearDown() override { closeAllAlerts(); }

    // Clicks "Update" with the mouse and answers the instruction dialog with Cancel;
    // returns the dialog's title, or an empty string when none of the two forms opened.
    juce::String clickUpdateAndCancel()
    {
        DialogAnswerer standard (standardTitle, "Cancel");
        DialogAnswerer solvane (solvaneTitle, "Cancel");

        if (! click (*component.getChildComponent (1)))
            return {};

        TestUtilities::runUntil ([&]
                                 { return (standard.answered() || solvane.answered()) && openAlerts().isEmpty(); });

        if (standard.answered() == solvane.answered())
            return {};

        if (solvane.answered())
        {
            EXPECT_EQ (solvane.seenMessage, solvaneInstructionText);
            return solvaneTitle;
        }

        EXPECT_EQ (standard.seenMessage, standardInstructionText);
        return standardTitle;
    }
};
}

TEST_F (RealInputTest, TheNKeyBeforeAClickOpensTheSolvaneFormOnceThenTheStandardForm)
{
    ASSERT_TRUE (typeKeys ({ "n" }));

    EXPECT_EQ (clickUpdateAndCancel(), solvaneTitle);
    EXPECT_EQ (clickUpdateAndCancel(), standardTitle) << "the click used up the n";
}

TEST_F (RealInputTest, AnyOtherKeyAfterTheNDisarmsIt)
{
    for (auto* otherKey : { "m", "shift+n", "Escape" })
    {
        ASSERT_TRUE (typeKeys ({ "n", otherKey }));
        EXPECT_EQ (clickUpdateAndCancel(), standardTitle) << "after n and " << otherKey;
    }

    // Focus now sits on the button, and the key still reaches the panel's listener.
    ASSERT_TRUE (typeKeys ({ "n" }));
    EXPECT_EQ (clickUpdateAndCancel(), solvaneTitle);
}

TEST_F (RealInputTest, AnUpperCaseNDoesNotArmIt)
{
    ASSERT_TRUE (typeKeys ({ "shift+n" }));
    EXPECT_EQ (clickUpdateAndCancel(), standardTitle);
}

TEST_F (RealInputTest, TheKeyboardComesBackToThePanelWhenTheCompletionMessageIsClosedWithReturn)
{
    component.progressChanged (1.0);
    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { auto* alert = findAlert ("Firmware Update Complete"); return alert != nullptr && alert->hasKeyboardFocus (true); }));

    ASSERT_TRUE (typeKeys ({ "Return" }));
    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return openAlerts().isEmpty(); }));
    EXPECT_TRUE (controller.versionQueryPending) << "closing it reset the controller";

    ASSERT_TRUE (typeKeys ({ "n" }));
    EXPECT_EQ (clickUpdateAndCancel(), solvaneTitle);
}
