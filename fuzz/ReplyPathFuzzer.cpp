// What arrives on a MIDI input, cut into pieces of any size with gaps between
// some of them, goes through the input's message assembly into the
// controller's reply handling and its hand-over to the message thread.
// Whatever came first (messages of any kind, SysEx of any length, SysEx
// never ended), a version reply that arrives last is the version the
// controller reports for its processor.

#include "control/Controller.h"
#include "control/VersionQuery.h"
#include "firmware/ZarvikUnit.h"
#include "tools/simulator/InProcessMidiPorts.h"
#include "midi/SysexAssembler.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>

namespace
{
struct LatestVersions final : public Controller::Listener
{
    void currentVersionChanged (int processor, const juce::String& version) override
    {
        if (processor < 0 || processor >= (int) latest.size() || version.isEmpty())
            std::abort();

        latest[(size_t) processor] = version;
    }

    std::array<juce::String, 3> latest;
};

/** JUCE's runtime and a controller with no unit and no items, for the whole run. */
struct Setup
{
    Setup()
    {
        controller.addListener (&versions);
    }

    juce::ScopedJuceInitialiser_GUI juce;
    InProcessMidiPorts ports;
    MidiManager manager { ports };
    juce::OwnedArray<FirmwareItem> items;
    Controller controller { &manager, &items, FirmwarePackage::Kind::release, juce::File() };
    LatestVersions versions;
};

/** Runs the message loop until what is queued now has been handled. */
void handleQueuedMessages()
{
    auto done = false;
    juce::MessageManager::callAsync ([&done]
                                     { done = true; });

    while (! done)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (0);
}

/** A version reply for the processor, its free bytes taken from the input. */
std::vector<uint8_t> versionReply (int processor, FuzzedDataProvider& input)
{
    std::vector<uint8_t> reply { 0xf0, 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33 };
    reply.resize (36);

    for (auto i : { 2, 9, 10, 11, 12, 13, 14 })
        reply[(size_t) i] = input.ConsumeIntegralInRange<uint8_t> (0, 0x7f);

    for (size_t i = 16; i < reply.size(); ++i)
        reply[i] = input.ConsumeIntegralInRange<uint8_t> (0, 0x7f);

    reply[15] = ZarvikUnit::processors[(size_t) processor].replyCode;
    reply.push_back (0xf7);
    return reply;
}
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    // Lives until the process ends: JUCE's runtime is set up once.
    static auto& setup = *new Setup();

    FuzzedDataProvider input (data, size);
    const auto processor = input.ConsumeIntegralInRange<int> (0, 2);
    const auto reply = versionReply (processor, input);

    SysexAssembler assembler ([] (const uint8_t* message, size_t length)
                              { setup.controller.midiMessageReceived (nullptr, juce::MidiMessage (message, (int) length, 0.0)); });

    while (input.remaining_bytes() > 0)
    {
        const auto piece = input.ConsumeBytes<uint8_t> (input.ConsumeIntegralInRange<size_t> (0, 512));

        // An empty piece stands for events the system lost.
        if (piece.empty())
            assembler.reset();
        else
            assembler.push (piece.data(), piece.size());
    }

    setup.versions.latest = {};
    assembler.push (reply.data(), reply.size());
    handleQueuedMessages();

    const juce::Array<juce::uint8> body (reply.data() + 1, (int) reply.size() - 2);

    if (setup.versions.latest[(size_t) processor] != VersionQuery::versionFromReply (body))
        std::abort();

    return 0;
}
