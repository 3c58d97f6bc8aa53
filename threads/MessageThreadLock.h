#pragma once

#include <juce_events/juce_events.h>

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
