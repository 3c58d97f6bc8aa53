#include "AlsaKernelHelpers.h"
#include "midi/MidiPorts.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{
/** Captures what is written to the process's stderr while it lives. */
class StderrCapture final
{
public:
    StderrCapture()
    {
        std::fflush (stderr);
        saved = ::dup (STDERR_FILENO);
        ::dup2 (::fileno (file), STDERR_FILENO);
    }

    ~StderrCapture() { restore(); }

    std::string text()
    {
        restore();
        std::rewind (file);
        std::string captured;
        char buffer[512];

        for (size_t n; (n = std::fread (buffer, 1, sizeof (buffer), file)) > 0;)
            captured.append (buffer, n);

        return captured;
    }

private:
    void restore()
    {
        if (saved < 0)
            return;

        std::fflush (stderr);
        ::dup2 (saved, STDERR_FILENO);
        ::close (saved);
        saved = -1;
    }

    std::FILE* file = std::tmpfile();
    int saved = -1;
};
}

TEST (AlsaPortsWithoutSequencer, ShowsNoPortsAndPrintsNothing)
{
    if (AlsaKernelHelpers::hasSequencer())
        GTEST_SKIP() << "this machine has a sequencer";

    auto& ports = MidiPortSystem::getSystemPorts();
    StderrCapture capture;

    for (int i = 0; i < 3; ++i)
    {
        EXPECT_TRUE (ports.getInputs().isEmpty());
        EXPECT_TRUE (ports.getOutputs().isEmpty());
    }

    struct NoCallback final : public MidiInputPortCallback
    {
        void handleIncomingMidiMessage (MidiInputPort*, const juce::MidiMessage&) override {}
    } callback;

    EXPECT_EQ (ports.openOutput ("20-0"), nullptr);
    EXPECT_EQ (ports.openInput ("20-0", &callback), nullptr);
    EXPECT_EQ (capture.text(), "");
}

TEST (AlsaPorts, IdentifiersThatNameNoSequencerPortOpenNothing)
{
    auto& ports = MidiPortSystem::getSystemPorts();

    for (const auto* identifier : { "", "20", "-0", "a-b", "20-0-1", "1000-0", "20-", " 20-0" })
        EXPECT_EQ (ports.openOutput (identifier), nullptr) << identifier;
}
