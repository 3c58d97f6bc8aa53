#include "FirmwareSysexSender.h"
#include "threads/PacingClock.h"

FirmwareSysexSender::FirmwareSysexSender (FirmwareItem* itemToSend, MidiManager* manager)
    : item (itemToSend)
    , midiManager (manager)
{
}

FirmwareSysexSender::~FirmwareSysexSender()
{
    finishPacingThread();
    cancelPendingUpdate();
}

void FirmwareSysexSender::addListener (Listener* listener)
{
    if (listener != nullptr)
        listeners.add (listener);
}

void FirmwareSysexSender::setTargetDevice (const juce::MidiDeviceInfo& output)
{
    targetDevice = output;
}

juce::String FirmwareSysexSender::getItemName() const
{
    return item != nullptr ? item->getDisplayName() : juce::String();
}

//==============================================================================
void FirmwareSysexSender::startSending()
{
    if (item == nullptr)
    {
        errorReason = "no firmware item to send";
        report ("Error");
        return;
    }

    finishPacingThread();

    const auto portName = item->getPortName();
    midiManager->closeInputPort (portName);

    if (targetDevice.has_value())
        midiManager->openOutputDevice (*targetDevice);
    else
        midiManager->openOutputPort (portName);

    chunksSent = 0;
    errorReason = {};
    item->inProgress = true;

    report ("Started");

    // Begun after the report, so a listener that stopped the sender from
    // within "Started" is overridden.
    // The thread gets its own reference to the image: a program that quits
    // mid-transfer deletes the items before it stops the senders.
    Transfer transfer { item->getSharedImageData(), portName, targetDevice.has_value() ? targetDevice->identifier : juce::String(), (size_t) item->chunkSize, (size_t) item->numChunks, std::chrono::microseconds (item->intervalMs * 1000) };
    const auto run = ++currentRun;
    sending = true;
    pacingThread = std::thread ([this, run, t = std::move (transfer)]
                                { pace (run, t); });
}

void FirmwareSysexSender::stopSending()
{
    // Waits for a write under way (its stall limit bounds it), so that
    // nothing reaches the port once the sender has been stopped.
    {
        const std::lock_guard<std::mutex> l (writeLock);
        ++currentRun;
    }

    sending = false;
}

void FirmwareSysexSender::finishPacingThread()
{
    if (! pacingThread.joinable())
        return;

    // The thread sees this within one interval, or once a write under way has
    // returned, which its stall limit bounds.
    ++currentRun;
    pacingThread.join();
}

//==============================================================================
void FirmwareSysexSender::pace (int run, const Transfer& transfer)
{
    using PacingClock::Clock;

    const auto& [image, portName, deviceIdentifier, chunkSize, numChunks, interval] = transfer;
    const auto toDevice = deviceIdentifier.isNotEmpty();
    const PacingClock::PreciseWaits preciseWaits;
    auto deadline = Clock::now() + interval;

    for (size_t index = 0;; ++index)
    {
        PacingClock::sleepUntil (deadline);

        const std::lock_guard<std::mutex> l (writeLock);

        if (currentRun != run)
            return;

        if (! (toDevice ? midiManager->isOutputDeviceAvailable (deviceIdentifier) : midiManager->isOutputPortAvailable (portName)))
        {
            post (run, Status::error, "unplugged: the system no longer lists the port");
            return;
        }

        if (index >= numChunks)
        {
            post (run, Status::complete);
            return;
        }

        const auto offset = index * chunkSize;
        const auto size = juce::jmin (chunkSize, image->getSize() - offset);
        auto handedOver = Clock::now();
        const auto* slice = static_cast<const char*> (image->getData()) + offset;
        const auto sent = toDevice ? midiManager->sendToDevice (deviceIdentifier, slice, size, &handedOver)
                                   : midiManager->sendToPort (portName, slice, size, &handedOver);

        // The next slice may go one interval after this one was handed to the
        // system, and no earlier: a late slice moves the whole schedule on.
        deadline = handedOver + interval;

        if (sent.failed())
        {
            post (run, Status::error, sent.getErrorMessage());
            return;
        }

        post (run, Status::chunk);
    }
}

void FirmwareSysexSender::post (int run, Status status, juce::String reason)
{
    {
        const std::lock_guard<std::mutex> l (reportsLock);
        reports.push_back ({ run, status, std::move (reason) });
    }

    triggerAsyncUpdate();
}

void FirmwareSysexSender::handleAsyncUpdate()
{
    std::vector<Report> batch;

    {
        const std::lock_guard<std::mutex> l (reportsLock);
        std::swap (batch, reports);
    }

    // A listener may stop, restart or even delete this sender from within a report.
    const juce::WeakReference<FirmwareSysexSender> self (this);

    for (const auto& r : batch)
    {
        if (self == nullptr)
            return;

        if (r.run == currentRun)
            deliver (r);
    }
}

void FirmwareSysexSender::deliver (const Report& r)
{
    switch (r.status)
    {
        case Status::chunk:
            ++chunksSent;
            report ("Chunk");
            break;

        case Status::complete:
            sending = false;
            item->inProgress = false;
            item->complete = true;
            report ("Complete");
            break;

        case Status::error:
            sending = false;
            errorReason = r.reason;
            report ("Error");
            break;
    }
}

void FirmwareSysexSender::report (const juce::String& status)
{
    // Newest listener first; a listener may remove itself or others during the call.
    listeners.call (&Listener::sysexSenderStatusChanged, this, status);
}
