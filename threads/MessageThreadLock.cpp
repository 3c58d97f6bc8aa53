#include "MessageThreadLock.h"

MessageThreadLock::MessageThreadLock (juce::Thread* threadToCheck)
{
    // Without a message loop nothing would ever take the blocking message.
    if (juce::MessageManager::getInstanceWithoutCreating() == nullptr)
        return;

    if (threadToCheck != nullptr)
        threadToCheck->addListener (this);

    const auto told = [threadToCheck]
    { return threadToCheck != nullptr && threadToCheck->threadShouldExit(); };

    // tryEnter can give up for no reason of ours, so it is tried again.
    auto entered = false;

    while (! entered && ! told())
        entered = lock->tryEnter();

    if (threadToCheck != nullptr)
        threadToCheck->removeListener (this);

    locked = entered && ! told();
}

MessageThreadLock::~MessageThreadLock()
{
    lock->exit();

    auto* messageManager = juce::MessageManager::getInstanceWithoutCreating();

    if (messageManager == nullptr || messageManager->isThisTheMessageThread())
        return;

    // The message that frees the lock is queued behind the blocking message, so
    // the message thread has left that one before the lock goes, whichever side
    // lets go of it last. Only if the loop is already stopping is it freed here.
    std::shared_ptr<juce::MessageManager::Lock> held (lock.release());
    juce::MessageManager::callAsync ([held] {});
}

void MessageThreadLock::exitSignalSent()
{
    lock->abort();
}
