#include "FirmwareSysexSender.h"
#include "threads/PacingClock.h"

#include <thread>

/** One transfer, shared by the sender and its pacing thread, which keeps it
    (the image and the outputs with it) until it ends. */
struct FirmwareSysexSender::Transfer
{
    std::shared_ptr<const juce::MemoryBlock> image;
    std::vector<std::shared_ptr<MidiManager::Output>> outputs;
    PortFailure notOpen; // why there are no outputs
    int chunkSize = 0;
    size_t numChunks = 0;
    std::chrono::microseconds interval {};

    // Set when the sender lets go of the transfer: no slice begins after it.
    std::atomic<bool> stopped { false };

    void post (Report report)
    {
        const std::lock_guard<std::mutex> l (lock);
        const auto now = std::chrono::steady_clock::now();

        // Slices are reported to the message thread together, a few at a
        // time, instead of waking it at every one; the end of a transfer at once.
        const auto handOver = report.status != Status::chunk || now - lastHandOver >= chunkReportInterval;
        reports.push_back (std::move (report));

        if (handOver && owner != nullptr)
        {
            lastHandOver = now;
            owner->triggerAsyncUpdate();
        }
    }

    std::vector<Report> takeReports()
    {
        const std::lock_guard<std::mutex> l (lock);
        return std::exchange (reports, {});
    }

    // About a frame: what the window shows of the progress moves as often.
    static constexpr std::chrono::milliseconds chunkReportInterval { 15 };

    std::mutex lock;
    std::vector<Report> reports;
    std::chrono::steady_clock::time_point lastHandOver;
    FirmwareSysexSender* owner = nullptr; // null once the sender has let go
};

//==============================================================================
juce::String FirmwareSysexSender::wordFor (Status status)
{
    switch (status)
    {
        case Status::started:
            return "Started";
        case Status::chunk:
            return "Chunk";
        case Status::complete:
            return "Complete";
        case Status::error:
            return "Error";
    }

    return {};
}

std::optional<FirmwareSysexSender::Status> FirmwareSysexSender::statusNamed (const juce::String& word)
{
    for (auto status : { Status::started, Status::chunk, Status::complete, Status::error })
        if (word == wordFor (status))
            return status;

    return std::nullopt;
}

FirmwareSysexSender::FirmwareSysexSender (FirmwareItem* itemToSend, MidiManager* manager)
    : item (itemToSend)
    , midiManager (manager)
{
}

FirmwareSysexSender::~FirmwareSysexSender()
{
    letGo();
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
        failure = { PortFailure::Kind::notOpen, "no firmware item to send" };
        report (Status::error);
        return;
    }

    letGo();

    const auto portName = item->getPortName();
    midiManager->closeInputPort (portName);

    // The transfer holds its outputs from here to its end.
    auto next = std::make_shared<Transfer>();

    if (targetDevice.has_value())
    {
        if (auto output = midiManager->acquireOutput (*targetDevice, next->notOpen))
            next->outputs.push_back (std::move (output));
    }
    else
    {
        next->outputs = midiManager->acquireOutputs (portName, next->notOpen);
    }

    // The thread gets its own reference to the image: a program that quits
    // mid-transfer deletes the items before it stops the senders.
    next->image = item->getSharedImageData();
    next->chunkSize = item->chunkSize;
    next->numChunks = (size_t) item->numChunks;
    next->interval = std::chrono::microseconds (item->intervalMs * 1000);

    chunksSent = 0;
    failure = {};
    item->inProgress = true;

    report (Status::started);

    // Begun after the report, so a listener that stopped the sender from
    // within "Started" is overridden.
    next->owner = this;
    transfer = next;
    sending = true;
    std::thread ([next]
                 { pace (*next); })
        .detach();
}

void FirmwareSysexSender::stopSending()
{
    letGo();
    sending = false;
}

void FirmwareSysexSender::letGo()
{
    if (transfer == nullptr)
        return;

    // The thread sees this before its next slice; a slice it is writing
    // meanwhile is finished there, without keeping anyone waiting.
    transfer->stopped = true;

    {
        const std::lock_guard<std::mutex> l (transfer->lock);
        transfer->owner = nullptr;
    }

    transfer.reset();
}

//==============================================================================
void FirmwareSysexSender::pace (Transfer& t)
{
    using PacingClock::Clock;

    const PacingClock::PreciseWaits preciseWaits;
    auto deadline = Clock::now() + t.interval;

    for (size_t index = 0;; ++index)
    {
        PacingClock::sleepUntil (deadline);

        if (t.stopped)
            return;

        if (t.outputs.empty())
        {
            t.post ({ Status::error, t.notOpen });
            return;
        }

        for (auto& output : t.outputs)
        {
            if (! output->isPresent())
            {
                t.post ({ Status::error, { PortFailure::Kind::unplugged, "the system no longer lists the port" } });
                return;
            }
        }

        if (index >= t.numChunks)
        {
            t.post ({ Status::complete, {} });
            return;
        }

        const auto slice = FirmwareItem::sliceOf (*t.image, t.chunkSize, (int) index);
        auto handedOver = Clock::now();
        PortFailure sent;

        // Every output of the transfer gets the slice, even after one has
        // failed, so that one failing unit does not cut another's image short.
        for (size_t i = 0; i < t.outputs.size(); ++i)
        {
            if (t.stopped)
                return;

            const auto result = t.outputs[i]->send (slice.data, slice.size, MidiOutputPort::stallLimit, i == 0 ? &handedOver : nullptr);

            if (! sent.failed())
                sent = result;
        }

        // The next slice may go one interval after this one was handed to the
        // system, and no earlier: a late slice moves the whole schedule on.
        deadline = handedOver + t.interval;

        if (sent.failed())
        {
            t.post ({ Status::error, sent });
            return;
        }

        t.post ({ Status::chunk, {} });
    }
}

void FirmwareSysexSender::handleAsyncUpdate()
{
    if (transfer == nullptr)
        return;

    // A listener may stop, restart or even delete this sender from within a report.
    const auto current = transfer;
    const juce::WeakReference<FirmwareSysexSender> self (this);

    for (const auto& r : current->takeReports())
    {
        if (self == nullptr || transfer != current)
            return;

        deliver (r);
    }
}

void FirmwareSysexSender::deliver (const Report& r)
{
    switch (r.status)
    {
        case Status::started:
            break;

        case Status::chunk:
            ++chunksSent;
            report (Status::chunk);
            break;

        case Status::complete:
            sending = false;
            letGo();
            item->inProgress = false;
            item->complete = true;
            report (Status::complete);
            break;

        case Status::error:
            sending = false;
            letGo();
            failure = r.failure;
            report (Status::error);
            break;
    }
}

void FirmwareSysexSender::report (Status status)
{
    // Newest listener first; a listener may remove itself or others during the call.
    listeners.call (&Listener::sysexSenderStatusChanged, this, wordFor (status));
}
