#pragma once

#include "UpdateLog.h"
#include "firmware/FirmwareSysexSender.h"
#include "midi/MidiManager.h"

#include <functional>
#include <optional>

/**
    One update: a sender for each item that takes part, the order in which
    they start (the application and control images together, each asset
    image once an application image has left its port free), the slices
    counted for the progress, and each item's state.

    Created when an update begins and deleted at the reset; the senders are
    deleted with it. Message thread only. The items and the manager are not
    owned and outlive it.
*/
class UpdateSession final
{
public:
    /** The states an item goes through. */
    enum class ItemState
    {
        waiting,
        started,
        completed,
        aborted
    };

    class Listener
    {
    public:
        virtual ~Listener() = default;

        virtual void itemStateChanged (ZarvikUnit::Image image, ItemState state) = 0;
        virtual void progressChanged (double progress) = 0;

        /** Every image was sent, and its port was still there after its last slice. */
        virtual void sessionFinished() = 0;

        /** A port was missing at the start, or a transfer failed: every sender is stopped. */
        virtual void sessionAborted() = 0;
    };

    /** The output that an item's port name is to be sent to, if the unit was identified. */
    using OutputFinder = std::function<std::optional<juce::MidiDeviceInfo> (const juce::String& portName)>;

    /** `senderListener` (the controller) hears the senders' reports and passes
        them to senderReported. */
    UpdateSession (MidiManager& midiManager,
                   juce::OwnedArray<FirmwareItem>& items,
                   FirmwareSysexSender::Listener& senderListener,
                   Listener& listener,
                   UpdateLog& log);
    ~UpdateSession();

    /** Creates the senders, reports the items as waiting, checks that every
        port is there and starts the senders that begin the update. The log
        gets the versions the unit reported before. */
    void start (bool solvaneMode, const OutputFinder& outputOf, const UpdateLog::Versions& versionsBefore);

    /** A sender's report. */
    void senderReported (FirmwareSysexSender* sender, FirmwareSysexSender::Status status);

private:
    void addSender (FirmwareItem* item, const OutputFinder& outputOf);
    void abort();
    void reportItemState (const FirmwareItem* item, ItemState state);
    bool portCarriesTransfer (const juce::String& portName) const;
    bool allSendersComplete() const;
    void startNextWaitingSender (const FirmwareSysexSender& finished);

    MidiManager& midiManager;
    juce::OwnedArray<FirmwareItem>& items;
    FirmwareSysexSender::Listener& senderListener;
    Listener& listener;
    UpdateLog& log;

    juce::OwnedArray<FirmwareSysexSender> senders;
    int totalChunks = 0;
    int chunksSent = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateSession)
};
