#pragma once

#include "control/Controller.h"

#include <atomic>

/** Records every report of a controller as a line of text, in order, and
    counts reports that arrive off the message thread. */
class RecordingListener final : public Controller::Listener
{
public:
    void availableVersionChanged (int processor, const juce::String& version) override
    {
        record ("available " + juce::String (processor) + " " + version);
    }

    void currentVersionChanged (int processor, const juce::String& version) override
    {
        versionReports += juce::MessageManager::getInstance()->isThisTheMessageThread() ? 1 : 0;
        record ("current " + juce::String (processor) + " " + version);
    }

    void hardwareDetectedChanged (bool detected) override
    {
        record (detected ? "detected" : "not detected");
    }

    void progressChanged (const double& progress) override
    {
        progressReports.add (progress);
        record ("progress " + juce::String (progress, 6));
    }

    void updateInProgressChanged (bool inProgress) override
    {
        record (inProgress ? "update running" : "update stopped");
    }

    void firmwareItemStateChanged (int item, int state) override
    {
        record ("item " + juce::String (item) + " " + juce::String (state));
    }

    void severalUnitsDetectedChanged (bool severalUnits) override
    {
        if (severalUnits)
            record ("several units");
    }

    void versionCheckChanged (int processor, int check) override
    {
        checks[(size_t) processor] = check;
    }

    void updateRefused (int reason) override
    {
        record ("refused " + juce::String (reason));
    }

    /** The recorded lines that start with `prefix`. */
    juce::StringArray linesStartingWith (const juce::String& prefix) const
    {
        juce::StringArray found;

        for (const auto& line : lines)
            if (line.startsWith (prefix))
                found.add (line);

        return found;
    }

    int count (const juce::String& line) const
    {
        int n = 0;

        for (const auto& l : lines)
            n += l == line ? 1 : 0;

        return n;
    }

    void clear()
    {
        lines.clear();
        progressReports.clear();
        checks = {};
        versionReports = 0;
    }

    juce::StringArray lines;
    juce::Array<double> progressReports;
    std::array<int, 3> checks {}; /**< The latest version check of each processor. */
    int versionReports = 0; /**< Kept apart from the lines so that a flood of them is cheap to count. */
    std::atomic<int> reportsOffMessageThread { 0 };

private:
    void record (const juce::String& line)
    {
        if (! juce::MessageManager::getInstance()->isThisTheMessageThread())
        {
            ++reportsOffMessageThread;
            return;
        }

        lines.add (line);
    }
};
