#pragma once

#include <juce_events/juce_events.h>

/*
    How work reaches the message thread, everywhere in this program: the
    object that receives it derives from juce::AsyncUpdater (privately), the
    other thread puts what it hands over where that object keeps it, under a
    lock of the object's own, and triggers the update. Deleting the receiver
    drops a hand-over still queued for it (AsyncUpdater cancels it), so the
    other thread must have let go of the receiver first: by a lock that the
    receiver's destructor takes (the sender's transfer, the console's quit
    request) or by being stopped (the MIDI manager's listener list).

    The one message posted otherwise is the one below, which carries nothing
    but the last reference to a lock, for the message thread to free.
*/

/** Holds the message thread, as juce::MessageManagerLock does, while a handler
    entered from another thread changes what is painted.

    JUCE 7.0.5's lock can let the waiting thread go on while the message thread
    is still inside the wake-up call on the lock's own event; a lock on the
    waiting thread's stack could then be freed, and that stack reused, under the
    message thread. This one is freed by the message thread itself, once it has
    left that call.
*/
class MessageThreadLock final : private juce::Thread::Listener
{
public:
    /** Waits until the message thread is held, or until `threadToCheck` (if
        any) is told to stop; on the message thread it is held at once. */
    explicit MessageThreadLock (juce::Thread* threadToCheck);
    ~MessageThreadLock() override;

    bool lockWasGained() const noexcept { return locked; }

private:
    void exitSignalSent() override;

    std::unique_ptr<juce::MessageManager::Lock> lock = std::make_unique<juce::MessageManager::Lock>();
    bool locked = false;

    JUCE_DECLARE_NON_COPYABLE (MessageThreadLock)
};
