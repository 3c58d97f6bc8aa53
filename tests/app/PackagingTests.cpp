#include "app/RZ41FirmwareUpdaterApplication.h"
#include "control/UpdateLog.h"
#include "firmware/FirmwarePackage.h"
#include "tests/TestProcess.h"
#include "tests/TestUtilities.h"

#include <csignal>
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using TestUtilities::Process;

constexpr auto appName = "Brelmar Zarvik Firmware Updater";
constexpr auto linuxName = "brelmar-zarvik-firmware-updater";
constexpr auto quitTitle = "Update In Progress";

juce::String run (const juce::StringArray& command, int* exitCode = nullptr)
{
    juce::ChildProcess process;

    if (! process.start (TestUtilities::withCrashesAsFailures (command)))
        return {};

    const auto output = process.readAllProcessOutput();
    process.waitForProcessToFinish (60000);

    if (exitCode != nullptr)
        *exitCode = (int) process.getExitCode();

    return output;
}

// Visible top-level windows with that title on the display, whoever opened them.
int countWindows (const juce::String& title = appName)
{
    const auto output = run ({ "xdotool", "search", "--onlyvisible", "--name", "^" + title + "$" });
    auto windows = juce::StringArray::fromLines (output);
    windows.removeEmptyStrings();
    return windows.size();
}

bool theUpdaterRunsForThisUser()
{
    juce::InterProcessLock lock (RZ41FirmwareUpdaterApplication::getInstanceLockName());
    return ! lock.enter (0);
}

}

//==============================================================================
TEST (ApplicationInstances, ASecondLaunchOpensNoSecondWindowAndLeavesTheFirstRunning)
{
    if (theUpdaterRunsForThisUser())
        GTEST_SKIP() << "the updater is already running for this user";

    Process first ({ ZARVIK_APP_PATH });
    ASSERT_TRUE (TestUtilities::runUntil ([]
                                          { return countWindows() == 1; },
                                          20000));

    Process second ({ ZARVIK_APP_PATH });
    ASSERT_TRUE (TestUtilities::runUntil ([&second]
                                          { return second.hasEnded(); },
                                          10000))
        << "the second launch ends by itself";
    EXPECT_TRUE (second.exitedWith (0));

    EXPECT_EQ (countWindows(), 1);
    EXPECT_FALSE (first.hasEnded());
}

TEST (ApplicationInstances, AnotherUserGetsAWindowOfTheirOwnAndOneOnly)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "starting the updater as another user takes root";

    if (theUpdaterRunsForThisUser())
        GTEST_SKIP() << "the updater is already running for this user";

    // The other user reaches the display with a copy of our X authority.
    const juce::TemporaryFile authority;
    const auto ourAuthority = juce::SystemStats::getEnvironmentVariable ("XAUTHORITY", juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".Xauthority").getFullPathName());
    ASSERT_TRUE (juce::File (ourAuthority).copyFileTo (authority.getFile())) << ourAuthority;
    ::chmod (authority.getFile().getFullPathName().toRawUTF8(), 0644);

    const juce::StringArray asNobody { "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "env", "XAUTHORITY=" + authority.getFile().getFullPathName(), ZARVIK_APP_PATH };

    // The virtual display now and then turns the other user's first
    // connection away; that launch ends saying so, and is made again.
    std::unique_ptr<Process> theirs;

    for (int attempt = 0; attempt < 3 && countWindows() == 0; ++attempt)
    {
        theirs = std::make_unique<Process> (asNobody);
        TestUtilities::runUntil ([&theirs]
                                 { return countWindows() == 1 || theirs->hasEnded(); },
                                 20000);
    }

    ASSERT_EQ (countWindows(), 1) << theirs->getOutput();

    Process ours ({ ZARVIK_APP_PATH });
    EXPECT_TRUE (TestUtilities::runUntil ([]
                                          { return countWindows() == 2; },
                                          20000))
        << "a launch after another user's opens a window";

    Process theirSecond (asNobody);
    ASSERT_TRUE (TestUtilities::runUntil ([&theirSecond]
                                          { return theirSecond.hasEnded(); },
                                          10000));
    EXPECT_TRUE (theirSecond.exitedWith (0));

    EXPECT_EQ (countWindows(), 2);
    EXPECT_FALSE (ours.hasEnded());
    EXPECT_FALSE (theirs->hasEnded());
}

//==============================================================================
// Ctrl+C, kill and a closed terminal, sent to a real updater process: during an
// update they bring up the same question as the close button, otherwise they end it.
class ApplicationSignals : public ::testing::TestWithParam<std::tuple<int, bool>>
{
};

TEST_P (ApplicationSignals, AskTheQuitQuestionDuringAnUpdateAndEndTheProgramOtherwise)
{
    const auto [signal, updating] = GetParam();
    ASSERT_EQ (countWindows (quitTitle), 0);

    Process harness ({ ZARVIK_HARNESS_PATH, updating ? "started" : "no-hardware" });
    ASSERT_TRUE (TestUtilities::runUntil ([&harness]
                                          { return harness.getOutput().contains ("READY") || harness.hasEnded(); },
                                          30000));
    ASSERT_FALSE (harness.hasEnded());

    ::kill (harness.pid, signal);

    if (updating)
    {
        EXPECT_TRUE (TestUtilities::runUntil ([]
                                              { return countWindows (quitTitle) == 1; },
                                              10000))
            << "the question shows";
        EXPECT_FALSE (harness.hasEnded());
    }
    else
    {
        ASSERT_TRUE (TestUtilities::runUntil ([&harness]
                                              { return harness.hasEnded(); },
                                              10000));
        EXPECT_TRUE (harness.exitedWith (0)) << "status " << harness.status;
    }
}

INSTANTIATE_TEST_SUITE_P (EverySignal,
                          ApplicationSignals,
                          ::testing::Combine (::testing::Values (SIGINT, SIGTERM, SIGHUP), ::testing::Bool()),
                          [] (const auto& info)
                          { return std::string ("SIG") + sigabbrev_np (std::get<0> (info.param))
                                   + (std::get<1> (info.param) ? "DuringAnUpdate" : "WithoutOne"); });

//==============================================================================
TEST (ApplicationWithoutDisplay, SaysWhyInOneLineAndInTheUpdateLogAndFails)
{
    const auto log = UpdateLog::getDefaultFile();
    log.deleteFile();

    int exitCode = 0;
    EXPECT_EQ (run ({ "env", "-u", "DISPLAY", ZARVIK_APP_PATH }, &exitCode), "cannot open a display: DISPLAY is not set\n");
    EXPECT_NE (exitCode, 0);
    EXPECT_TRUE (log.loadFileAsString().trimEnd().endsWith (" could not start: cannot open a display: DISPLAY is not set")) << log.loadFileAsString();
}

TEST (ApplicationCommandLine, HelpPrintsTheUsageAndWhetherTheBuildCarriesTestFirmwareWithoutStarting)
{
    // No display either: the answer comes before anything of the window.
    int exitCode = -1;
    const auto output = run ({ "env", "-u", "DISPLAY", ZARVIK_APP_PATH, "--help" }, &exitCode);

    EXPECT_EQ (exitCode, 0) << output;
    EXPECT_TRUE (output.startsWith ("usage: ")) << output;
    EXPECT_EQ (output.contains (FirmwarePackage::testFirmwareNotice), FirmwarePackage::getKind() == FirmwarePackage::Kind::testFirmware) << output;
}

//==============================================================================
TEST (WindowsIcon, HoldsSixteenThirtyTwoAndFortyEightPixelsAt32BitsAnd256AsPng)
{
    juce::MemoryBlock ico;
    ASSERT_TRUE (juce::File (ZARVIK_WINDOWS_ICON).loadFileAsData (ico));
    ASSERT_GT (ico.getSize(), 6u);

    juce::MemoryInputStream in (ico, false);
    EXPECT_EQ (in.readShort(), 0) << "reserved";
    EXPECT_EQ (in.readShort(), 1) << "an icon, not a cursor";
    ASSERT_EQ (in.readShort(), 4) << "four images";

    const int expectedSizes[] = { 16, 32, 48, 256 };

    for (auto expectedSize : expectedSizes)
    {
        const auto width = (int) in.readByte() & 0xff;
        const auto height = (int) in.readByte() & 0xff;
        in.readByte(); // colour count
        in.readByte(); // reserved
        in.readShort(); // planes
        const auto bitsPerPixel = in.readShort();
        const auto size = (size_t) in.readInt();
        const auto offset = (size_t) in.readInt();

        // A 256-pixel side is written as 0.
        EXPECT_EQ (width == 0 ? 256 : width, expectedSize);
        EXPECT_EQ (height == 0 ? 256 : height, expectedSize);
        EXPECT_EQ (bitsPerPixel, 32) << expectedSize << " pixels";
        ASSERT_LE (offset + size, ico.getSize());

        const auto* data = static_cast<const juce::uint8*> (ico.getData()) + offset;
        const auto isPng = size > 8 && memcmp (data, "\x89PNG\r\n\x1a\n", 8) == 0;
        EXPECT_EQ (isPng, expectedSize == 256) << expectedSize << " pixels";

        if (! isPng)
        {
            // A bitmap info header of a 32-bit picture, twice as high for its mask.
            juce::MemoryInputStream header (data, size, false);
            EXPECT_EQ (header.readInt(), 40);
            EXPECT_EQ (header.readInt(), expectedSize);
            EXPECT_EQ (header.readInt(), expectedSize * 2);
            header.readShort();
            EXPECT_EQ (header.readShort(), 32);
        }
        else
        {
            const auto picture = juce::ImageFileFormat::loadFrom (data, size);
            EXPECT_EQ (picture.getWidth(), 256);
            EXPECT_EQ (picture.getHeight(), 256);
        }
    }
}

//==============================================================================
TEST (LinuxInstall, PutsTheProgramItsDesktopEntryAndItsIconsWhereTheDesktopLooks)
{
    const juce::TemporaryFile prefixHolder;
    const auto prefix = prefixHolder.getFile();
    ASSERT_TRUE (prefix.createDirectory());

    int exitCode = -1;
    const auto output = run ({ "cmake", "--install", ZARVIK_BUILD_DIR, "--prefix", prefix.getFullPathName() }, &exitCode);
    ASSERT_EQ (exitCode, 0) << output;

    const auto program = prefix.getChildFile ("bin").getChildFile (linuxName);
    EXPECT_TRUE (program.existsAsFile());
    EXPECT_EQ (::access (program.getFullPathName().toRawUTF8(), X_OK), 0) << "executable";
    EXPECT_EQ (program.getSize(), juce::File (ZARVIK_APP_PATH).getSize());

    const auto entry = prefix.getChildFile ("share/applications").getChildFile (juce::String (linuxName) + ".desktop");
    ASSERT_TRUE (entry.existsAsFile());

    juce::StringPairArray keys;

    for (const auto& line : juce::StringArray::fromLines (entry.loadFileAsString()))
        if (line.contains ("="))
            keys.set (line.upToFirstOccurrenceOf ("=", false, false), line.fromFirstOccurrenceOf ("=", false, false));

    EXPECT_TRUE (entry.loadFileAsString().startsWith ("[Desktop Entry]"));
    EXPECT_EQ (keys["Type"], "Application");
    EXPECT_EQ (keys["Name"], appName);
    EXPECT_EQ (keys["Exec"], linuxName);
    EXPECT_EQ (keys["Icon"], linuxName);

    for (auto size : { 16, 24, 32, 48, 64, 128, 256, 512 })
    {
        const auto icon = prefix.getChildFile ("share/icons/hicolor")
                              .getChildFile (juce::String (size) + "x" + juce::String (size))
                              .getChildFile ("apps")
                              .getChildFile (juce::String (linuxName) + ".png");
        const auto picture = juce::ImageFileFormat::loadFrom (icon);
        EXPECT_EQ (picture.getWidth(), size) << icon.getFullPathName();
        EXPECT_EQ (picture.getHeight(), size) << icon.getFullPathName();
    }

    prefix.deleteRecursively();
}

//==============================================================================
TEST (WindowsResources, CarryTheVersionFieldsTwoIconGroupsAndAnAsInvokerManifest)
{
    const juce::File windres ("/usr/bin/x86_64-w64-mingw32-windres");

    if (! windres.existsAsFile())
        GTEST_SKIP() << "no Windows resource compiler (binutils-mingw-w64-x86-64)";

    // The script is compiled as a Windows build compiles it, then listed back.
    const juce::TemporaryFile compiled (".res");
    int exitCode = -1;
    const auto errors = run ({ windres.getFullPathName(),
                               "--preprocessor=cpp",
                               "--preprocessor-arg=-xc-header",
                               "--preprocessor-arg=-DRC_INVOKED",
                               "--preprocessor-arg=-D_WIN32",
                               "--preprocessor-arg=-D_WIN64",
                               "--preprocessor-arg=-D__x86_64__",
                               "-I/usr/share/mingw-w64/include",
                               ZARVIK_WINDOWS_RC,
                               "-O",
                               "coff",
                               "-o",
                               compiled.getFile().getFullPathName() },
                             &exitCode);
    ASSERT_EQ (exitCode, 0) << errors;

    const auto listing = run ({ windres.getFullPathName(), "-i", compiled.getFile().getFullPathName(), "-J", "coff", "-O", "rc" });

    for (const auto* expected : { "VALUE \"CompanyName\", \"Brelmar\"",
                                  "VALUE \"FileDescription\", \"Brelmar Zarvik Firmware Updater\"",
                                  "VALUE \"ProductName\", \"Brelmar Zarvik Firmware Updater\"",
                                  "VALUE \"FileVersion\", \"1.0.5.0\"",
                                  "VALUE \"ProductVersion\", \"1.0.5\"",
                                  "FILEVERSION 1, 0, 5, 0",
                                  "\"IDI_ICON1\" 14 /* RT_GROUP_ICON */",
                                  "\"IDI_ICON2\" 14 /* RT_GROUP_ICON */",
                                  "1 24 /* RT_MANIFEST */",
                                  "level=\"\"asInvoker\"\" uiAccess=\"\"false\"\"" })
        EXPECT_TRUE (listing.contains (expected)) << expected;

    // Each group holds the four pictures of the icon file.
    EXPECT_EQ (listing.length() - listing.replace ("Has 4 elements", "").length(), 2 * juce::String ("Has 4 elements").length());
}
