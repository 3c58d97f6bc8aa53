#pragma once

#include "firmware/FirmwareItem.h"

#include <array>
#include <future>
#include <juce_core/juce_core.h>
#include <vector>

/**
    The record of updates that a user can send to support: each update's start
    with the SHA-256 of every image it sends, each failure with its time, port,
    image, slice and reason in words, and each update's end; and why the
    program could not start, where it could not. Lines are appended
    to a text file; failures are also printed to standard error.

    A file that cannot be written loses its lines, never the update. Used on
    the message thread.
*/
class UpdateLog final
{
public:
    explicit UpdateLog (juce::File file);

    /** Where this user's log lies: a folder of this program's in the user's
        state or application data folder. */
    static juce::File getDefaultFile();

    juce::File getFile() const { return file; }

    /** Starts working out the SHA-256 of each item's image on a thread of its
        own, so that the start of an update does not hold up the message
        thread for it (18 MB take a tenth of a second). */
    void prepareDigests (const juce::OwnedArray<FirmwareItem>& items);

    void updateStarted (bool solvaneMode, const std::vector<const FirmwareItem*>& items);

    /** Every slice of the item's image was handed to the port, and the port was still there after the last. */
    void imageSent (const FirmwareItem& item);

    /** A transfer ended at slice `slice` (counted from 0) for `reason`. */
    void transferFailed (const FirmwareItem& item, int slice, const juce::String& reason);

    /** A port that an item needs was not there when the update began. */
    void portMissing (const FirmwareItem& item);

    /** How the update ended, in words; logged once per update. */
    void updateEnded (const juce::String& outcome);

    using Versions = std::array<juce::String, 3>;

    /** The versions the unit's processors reported (control, audio, graphics;
        empty where one did not answer), `when` saying when they were read. */
    void versionsRead (const juce::String& when, const Versions& versions);

    /** The versions the unit reported once it was back after an update, and
        the verdict against the versions carried: "up to date", or "did not
        take" with what each processor that differs reports. */
    void updateChecked (const Versions& reported, const Versions& carried);

    /** The program ended before its window opened, for `reason` in words. */
    void couldNotStart (const juce::String& reason);

private:
    void append (const juce::String& text, bool alsoToStandardError);
    juce::String digestOf (const FirmwareItem& item);
    std::shared_future<juce::String> digestFor (const FirmwareItem& item, std::launch policy);

    const juce::File file;
    std::vector<std::pair<std::shared_ptr<const juce::MemoryBlock>, std::shared_future<juce::String>>> digests;
    bool updateOpen = false;
    double startedMs = 0.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateLog)
};
