#include "UpdateSession.h"

namespace
{
constexpr int chunksPerProgressReport = 20;

// The images whose rows say "Waiting" when an update starts and "Aborted"
// when it is aborted, in this order; the assets' rows are left as they are.
constexpr ZarvikUnit::Image reportedAtStartAndAbort[] = { ZarvikUnit::Image::audioApplication,
                                                          ZarvikUnit::Image::graphicsApplication,
                                                          ZarvikUnit::Image::controlFirmware };

bool isImage (const FirmwareItem* item, bool (*property) (const ZarvikUnit::ImageFacts&))
{
    return item != nullptr && item->getImage().has_value() && property (ZarvikUnit::facts (*item->getImage()));
}

bool isAssets (const FirmwareItem* item)
{
    return isImage (item, [] (const ZarvikUnit::ImageFacts& f)
                    { return f.assets; });
}

// The items that start together in normal mode; the asset images wait for
// an application image to finish.
bool startsAtOnce (const FirmwareItem* item)
{
    return isImage (item, [] (const ZarvikUnit::ImageFacts& f)
                    { return f.startsAtOnce; });
}

bool isControlFirmware (const FirmwareItem* item)
{
    return item != nullptr && item->getImage() == ZarvikUnit::Image::controlFirmware;
}
}

UpdateSession::UpdateSession (MidiManager& manager, juce::OwnedArray<FirmwareItem>& items_, FirmwareSysexSender::Listener& senders_, Listener& listener_, UpdateLog& log_)
    : midiManager (manager)
    , items (items_)
    , senderListener (senders_)
    , listener (listener_)
    , log (log_)
{
}

UpdateSession::~UpdateSession()
{
    // The last one first, as an owned array deletes them.
    senders.clear();
}

//==============================================================================
void UpdateSession::start (bool solvaneMode, const OutputFinder& outputOf, const UpdateLog::Versions& versionsBefore)
{
    std::vector<const FirmwareItem*> sent;

    for (auto* item : items)
    {
        if (solvaneMode && isAssets (item))
            continue;

        midiManager.closeInputPort (item->getPortName());
        midiManager.closeOutputPort (item->getPortName());
        item->complete = false;
        item->inProgress = false;
        addSender (item, outputOf);
        totalChunks += item->numChunks;
        sent.push_back (item);
    }

    log.updateStarted (solvaneMode, sent);
    log.versionsRead ("before the update", versionsBefore);

    for (auto image : reportedAtStartAndAbort)
        listener.itemStateChanged (image, ItemState::waiting);

    auto portMissing = false;

    for (auto* item : items)
    {
        const auto output = outputOf (item->getPortName());
        const auto listed = output.has_value() ? midiManager.isOutputDeviceAvailable (output->identifier)
                                               : midiManager.isOutputPortAvailable (item->getPortName());

        if (! listed)
        {
            log.portMissing (*item);
            abort();
            portMissing = true;
        }
    }

    if (portMissing)
        return;

    // A sender whose port is already taken waits for that transfer to
    // finish, so two images never interleave on one port.
    for (auto* sender : senders)
        if ((solvaneMode || startsAtOnce (sender->item))
            && ! portCarriesTransfer (sender->item->getPortName()))
            sender->startSending();
}

void UpdateSession::addSender (FirmwareItem* item, const OutputFinder& outputOf)
{
    auto* sender = senders.add (new FirmwareSysexSender (item, &midiManager));
    sender->addListener (&senderListener);

    // Firmware goes only to the output that was identified beside the input
    // that answered, never to another port that shares its name.
    if (const auto output = outputOf (item->getPortName()))
        sender->setTargetDevice (*output);
}

void UpdateSession::abort()
{
    for (auto* sender : senders)
    {
        sender->stopSending();

        if (sender->item != nullptr)
            sender->item->inProgress = false;
    }

    log.updateEnded ("aborted");

    for (auto image : reportedAtStartAndAbort)
        listener.itemStateChanged (image, ItemState::aborted);

    listener.sessionAborted();
}

//==============================================================================
void UpdateSession::senderReported (FirmwareSysexSender* sender, FirmwareSysexSender::Status status)
{
    using Status = FirmwareSysexSender::Status;

    if (status == Status::started)
    {
        reportItemState (sender->item, ItemState::started);
    }
    else if (status == Status::complete)
    {
        reportItemState (sender->item, ItemState::completed);

        if (sender->item != nullptr)
            log.imageSent (*sender->item);

        // Every slice may have been sent while another sender's completion
        // tick is still to come; the update is finished only with that too.
        if (chunksSent == totalChunks && allSendersComplete())
        {
            log.updateEnded ("complete: every image sent");
            listener.sessionFinished();
        }
        else
        {
            startNextWaitingSender (*sender);
        }
    }
    else if (status == Status::chunk)
    {
        ++chunksSent;

        // Only the end of the update reports 1.0, once: the last slice sent is
        // not yet the last image complete.
        if (chunksSent % chunksPerProgressReport == 0 && chunksSent < totalChunks)
            listener.progressChanged ((double) chunksSent / (double) totalChunks);
    }
    else if (status == Status::error)
    {
        if (sender->item != nullptr)
            log.transferFailed (*sender->item, sender->getChunksSent(), sender->getErrorReason());

        abort();
    }
}

void UpdateSession::reportItemState (const FirmwareItem* item, ItemState state)
{
    if (item != nullptr && item->getImage().has_value())
        listener.itemStateChanged (*item->getImage(), state);
}

bool UpdateSession::portCarriesTransfer (const juce::String& portName) const
{
    for (auto* sender : senders)
        if (sender->item != nullptr && sender->item->inProgress && sender->item->getPortName() == portName)
            return true;

    return false;
}

bool UpdateSession::allSendersComplete() const
{
    for (auto* sender : senders)
        if (sender->item == nullptr || ! sender->item->complete)
            return false;

    return true;
}

void UpdateSession::startNextWaitingSender (const FirmwareSysexSender& finished)
{
    // The first waiting sender, in item order, whose port is free. The control
    // firmware's completion starts only a sender of its own port, which the
    // package never has: nothing else waits for that port to be freed.
    const auto finishedControl = isControlFirmware (finished.item);
    const auto finishedPort = finished.item != nullptr ? finished.item->getPortName() : juce::String();

    for (auto* sender : senders)
    {
        auto* item = sender->item;

        if (item == nullptr || item->inProgress || item->complete)
            continue;

        if (finishedControl && item->getPortName() != finishedPort)
            continue;

        if (portCarriesTransfer (item->getPortName()))
            continue;

        sender->startSending();
        return;
    }
}
