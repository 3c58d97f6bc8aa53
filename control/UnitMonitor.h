#pragma once

#include "UnitPorts.h"
#include "UpdateLog.h"
#include "firmware/FirmwareItem.h"
#include "midi/MidiManager.h"

#include <juce_events/juce_events.h>
#include <map>
#include <mutex>

/**
    What the updater knows of the unit: the ports listed under its names, who
    answered the identity request on them, the versions they reported, and,
    after an update, whether those are the versions the updater carries.

    The unit is the set of ports it was asked on: a reply belongs to the input
    it came in on (by its system identifier), and the output beside that input
    is the one firmware may go to. Whatever answers on other ports, or on ports
    that appeared since, is another unit.

    Message thread only, but for readMessage, which a MIDI input thread
    calls; what it reads is handed over to the message thread.
*/
class UnitMonitor final : private juce::AsyncUpdater
{
public:
    /** Codes of Listener::versionCheckChanged (Controller::VersionCheck). */
    enum VersionCheck
    {
        notChecked = 0,
        waitingForUnit = 1,
        upToDate = 2,
        notUpToDate = 3
    };

    /** Called on the message thread. */
    class Listener
    {
    public:
        virtual ~Listener() = default;

        /** A version reply came in; processor is -1 when it names none of ours. */
        virtual void versionReplied (int processor, const juce::String& version) = 0;

        virtual void versionCheckChanged (int processor, int check) = 0;
    };

    /** Nothing is owned; everything outlives the monitor. `replyListener`
        (the controller, which passes replies to readMessage) is registered
        with the manager when the unit is first asked. */
    UnitMonitor (MidiManager& midiManager, MidiManager::Listener& replyListener, const juce::OwnedArray<FirmwareItem>& items, Listener& listener, UpdateLog& log);
    ~UnitMonitor() override;

    /** The ports listed under the unit's names now. */
    UnitPorts listPorts() const { return UnitPorts::list (midiManager); }

    /** Whether every item's port lists an input. */
    bool allItemPortsListed (const UnitPorts& ports) const;

    /** Opens the one input and output of each name, if there is only one, and
        asks each of them for its version. */
    void connect (const UnitPorts& ports);

    /** Asks the processor's connected port for its version. */
    void requestVersion (int processor);

    /** The unit has gone: its ports and replies no longer count. */
    void forget();

    /** The unit is to say again who it is: its replies so far no longer count,
        those on their way still do. */
    void forgetReplies() { replies.clear(); }

    /** Whether the processor answered, naming itself, on the one input its
        name lists now, beside the output listed there when it was asked. */
    bool isIdentified (const UnitPorts& ports, int processor) const;

    /** Whether every processor an item goes to is identified. */
    bool isIdentified (const UnitPorts& ports) const;

    /** Whether all three processors are identified and said they are a rehearsal unit. */
    bool isRehearsalUnit (const UnitPorts& ports) const;

    /** The output identified beside the input that answered for that port name. */
    std::optional<juce::MidiDeviceInfo> identifiedOutput (const juce::String& portName) const;

    /** The versions the identified processors reported (empty where none did). */
    UpdateLog::Versions identifiedVersions() const;

    /** From the completion of an update until endCheckingUpdate, what the
        unit reports is judged against the carried versions. */
    void startCheckingUpdate();
    void endCheckingUpdate();
    bool isCheckingUpdate() const noexcept { return checkingUpdate; }

    /** The unit came back after it left while an update is being checked:
        what it reported before no longer counts. */
    void unitCameBack();

    /** The update began: nothing is judged until it ends. */
    void clearChecks();

    /** Reads a version reply that came in on `source`. N.B. called on a MIDI input thread. */
    void readMessage (MidiInputPort* source, const juce::MidiMessage& message);

private:
    struct Reply
    {
        int processor = -1; // named by the reply's processor code
        juce::String version;
        bool fromRehearsalUnit = false;
    };

    void handleAsyncUpdate() override;
    void setCheck (int processor, int check);
    void checkVersion (int processor, const juce::String& version);

    MidiManager& midiManager;
    MidiManager::Listener& replyListener;
    const juce::OwnedArray<FirmwareItem>& items;
    Listener& listener;
    UpdateLog& log;

    // The ports the unit was last asked on, and the latest version reply of
    // each input, by the input's identifier.
    UnitPorts connectedPorts;
    std::map<juce::String, Reply> replies;

    bool checkingUpdate = false;
    bool checkLogged = false;
    std::array<int, UnitPorts::numProcessors> checks {};
    UpdateLog::Versions checkedVersions;

    // Replies read on the input threads and not yet handled on the message
    // thread: the latest of each input. A flood of replies is one hand-over.
    std::mutex pendingLock;
    std::map<juce::String, Reply> pending;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UnitMonitor)
};
