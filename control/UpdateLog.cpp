#include "UpdateLog.h"
#include "VersionQuery.h"

#include <cstdio>
#include <juce_cryptography/juce_cryptography.h>

namespace
{
// The file is rotated before an update once it holds this much, so that it
// never grows without bound and still holds the last update whole.
constexpr juce::int64 rotationSize = 1024 * 1024;

juce::String timeNow()
{
    return juce::Time::getCurrentTime().formatted ("%Y-%m-%d %H:%M:%S.") + juce::String (juce::Time::getCurrentTime().getMilliseconds()).paddedLeft ('0', 3);
}
}

UpdateLog::UpdateLog (juce::File logFile)
    : file (std::move (logFile))
{
}

void UpdateLog::updateStarted (bool solvaneMode, const std::vector<const FirmwareItem*>& items)
{
    if (file.getSize() > rotationSize)
        file.moveFileTo (file.withFileExtension ("log.1"));

    updateOpen = true;
    startedMs = juce::Time::getMillisecondCounterHiRes();

    append ("update started" + juce::String (solvaneMode ? " (Solvane Mode)" : "") + ", " ZARVIK_PRODUCT_NAME " " ZARVIK_VERSION, false);

    for (auto* item : items)
        append ("  " + item->getDisplayName() + " to \"" + item->getPortName() + "\": "
                    + juce::String (item->getImageData().getSize()) + " bytes in " + juce::String (item->numChunks)
                    + " slices, SHA-256 " + digestOf (*item),
                false);
}

void UpdateLog::imageSent (const FirmwareItem& item)
{
    append ("\"" + item.getPortName() + "\", " + item.getDisplayName() + ": all " + juce::String (item.numChunks) + " slices sent", false);
}

void UpdateLog::transferFailed (const FirmwareItem& item, int slice, const juce::String& reason)
{
    append ("\"" + item.getPortName() + "\", " + item.getDisplayName() + ", slice " + juce::String (slice)
                + " of " + juce::String (item.numChunks) + ": " + reason,
            true);
}

void UpdateLog::portMissing (const FirmwareItem& item)
{
    append ("\"" + item.getPortName() + "\", " + item.getDisplayName() + ", before the first slice: unplugged: the system does not list the port", true);
}

void UpdateLog::updateEnded (const juce::String& outcome)
{
    if (! updateOpen)
        return;

    updateOpen = false;
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - startedMs) / 1000.0;
    append ("update " + outcome + " after " + juce::String (seconds, 1) + " s", false);
}

void UpdateLog::versionsRead (const juce::String& when, const Versions& versions)
{
    juce::StringArray parts;

    for (size_t processor = 0; processor < versions.size(); ++processor)
        parts.add ("\"" + VersionQuery::portNameForProcessor ((int) processor) + "\" "
                   + (versions[processor].isNotEmpty() ? versions[processor] : juce::String ("no answer")));

    append ("versions " + when + ": " + parts.joinIntoString (", "), false);
}

void UpdateLog::updateChecked (const Versions& reported, const Versions& carried)
{
    versionsRead ("after the update", reported);

    juce::StringArray differing;

    for (size_t processor = 0; processor < reported.size(); ++processor)
        if (reported[processor] != carried[processor])
            differing.add ("\"" + VersionQuery::portNameForProcessor ((int) processor) + "\" reports " + reported[processor]
                           + " instead of " + carried[processor]);

    // A firmware that did not take leaves the unit as it was: the user must know.
    if (differing.isEmpty())
        append ("the update took: up to date", false);
    else
        append ("the update did not take: " + differing.joinIntoString (", "), true);
}

void UpdateLog::couldNotStart (const juce::String& reason)
{
    append (ZARVIK_PRODUCT_NAME " " ZARVIK_VERSION " could not start: " + reason, false);
}

void UpdateLog::append (const juce::String& text, bool alsoToStandardError)
{
    const auto line = timeNow() + " " + text;

    if (alsoToStandardError)
        std::fprintf (stderr, "%s: %s\n", ZARVIK_PRODUCT_NAME, line.toRawUTF8());

    if (file.getParentDirectory().createDirectory())
        file.appendText (line + "\n", false, false, "\n");
}

void UpdateLog::prepareDigests (const juce::OwnedArray<FirmwareItem>& items)
{
    for (auto* item : items)
        digestFor (*item, std::launch::async);
}

juce::String UpdateLog::digestOf (const FirmwareItem& item)
{
    return digestFor (item, std::launch::deferred).get();
}

// Items that share an image share its digest.
std::shared_future<juce::String> UpdateLog::digestFor (const FirmwareItem& item, std::launch policy)
{
    const auto image = item.getSharedImageData();

    for (auto& [known, digest] : digests)
        if (known == image)
            return digest;

    auto digest = std::async (policy, [image]
                              { return juce::SHA256 (image->getData(), image->getSize()).toHexString(); })
                      .share();
    digests.emplace_back (image, digest);
    return digest;
}
