#include "tests/MidiTestHelpers.h"
#include "tests/TestImages.h"
#include "tests/TestUtilities.h"
#include "tools/simulator/InProcessZarvik.h"

#include <gtest/gtest.h>
#include <random>

using namespace MidiTestHelpers;

namespace
{
const Bytes identityRequest { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

void feedInPieces (SimulatedZarvik& unit, int processor, const std::vector<uint8_t>& bytes, unsigned seed)
{
    std::mt19937 random (seed);
    std::uniform_int_distribution<size_t> pieceSize (1, 300);

    for (size_t offset = 0; offset < bytes.size();)
    {
        const auto size = std::min (pieceSize (random), bytes.size() - offset);
        unit.receive (processor, bytes.data() + offset, size);
        offset += size;
    }
}

// Hands an image to the unit in 256-byte buffers, as the updater sends it.
void feedInSlices (SimulatedZarvik& unit, int processor, const std::vector<uint8_t>& bytes)
{
    for (size_t offset = 0; offset < bytes.size(); offset += 256)
        unit.receive (processor, bytes.data() + offset, std::min<size_t> (256, bytes.size() - offset));
}

// Body offsets 10 to 13 of the identity reply hold the version.
std::array<uint8_t, 4> reportedVersion (const SimulatedZarvik& unit, int processor)
{
    const auto reply = unit.getIdentityReply (processor);
    return { reply[11], reply[12], reply[13], reply[14] };
}

// A unit's restart calls it from the unit's own thread.
struct RecordingConnection final : public SimulatedZarvik::Connection
{
    void sendToHost (int processor, const std::vector<uint8_t>& message) override
    {
        const std::lock_guard<std::mutex> l (mutex);
        sent.push_back ({ processor, message });
    }

    void disconnect (int processor) override
    {
        const std::lock_guard<std::mutex> l (mutex);
        disconnected.push_back (processor);
    }

    void reconnect() override
    {
        const std::lock_guard<std::mutex> l (mutex);
        ++reconnects;
    }

    int getReconnects() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return reconnects;
    }

    mutable std::mutex mutex;
    std::vector<std::pair<int, std::vector<uint8_t>>> sent;
    std::vector<int> disconnected;
    int reconnects = 0;
};

const std::array<std::array<uint8_t, 4>, 3> versionsBefore { { { 0, 0, 3, 1 }, { 0, 0, 2, 1 }, { 0, 0, 2, 1 } } };
const std::array<std::array<uint8_t, 4>, 3> versionsAfter { { { 0, 0, 3, 6 }, { 0, 0, 2, 5 }, { 0, 0, 2, 5 } } };

// The three images of an update, one per processor.
std::array<std::vector<uint8_t>, 3> updateImages()
{
    return { TestImages::make (0x00, 3000), TestImages::make (0x10, 3000), TestImages::make (0x20, 3000) };
}

std::vector<uint8_t> twice (std::vector<uint8_t> bytes)
{
    bytes.insert (bytes.end(), bytes.begin(), bytes.end());
    return bytes;
}

// A unit that knows what its update brings and restarts quickly once told to.
void prepareForUpdate (SimulatedZarvik& unit)
{
    const auto images = updateImages();
    unit.setRestartTimes (std::chrono::milliseconds (10), std::chrono::milliseconds (10));

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
    {
        unit.setVersionAfterUpdate (p, versionsAfter[(size_t) p]);
        unit.setExpectedImages (p, { images[(size_t) p] });
    }
}

void sendUpdate (SimulatedZarvik& unit, const std::vector<uint8_t>& audioImage)
{
    const auto images = updateImages();
    feedInSlices (unit, 0, images[0]);
    feedInSlices (unit, 1, audioImage);
    feedInSlices (unit, 2, images[2]);
}

// The whole update arrives before a restart is allowed, so that no pause of
// a loaded machine between two images passes for the end of the update.
void updateThenRestart (SimulatedZarvik& unit, const std::vector<uint8_t>& audioImage)
{
    unit.setRestartAfterUpdate (false);
    sendUpdate (unit, audioImage);
    unit.setRestartAfterUpdate (true);
}
}

TEST (SimulatedZarvik, AnswersTheIdentityRequestOnEachPortWithItsOwnReply)
{
    SimulatedZarvik unit;
    RecordingConnection connection;
    unit.setConnection (&connection);
    unit.setVersion (1, { 0, 0, 2, 5 });
    unit.setProcessorCode (2, 0x30);

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        unit.receive (p, identityRequest.data(), identityRequest.size());

    ASSERT_EQ (connection.sent.size(), 3u);

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
    {
        const auto& [processor, reply] = connection.sent[(size_t) p];
        EXPECT_EQ (processor, p);
        ASSERT_EQ (reply.size(), 37u);
        EXPECT_EQ (reply.front(), 0xf0);
        EXPECT_EQ (reply.back(), 0xf7);

        const std::vector<uint8_t> fixedPart (reply.begin() + 1, reply.begin() + 9);
        EXPECT_EQ (fixedPart, (std::vector<uint8_t> { 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33 }));
        EXPECT_TRUE (std::all_of (reply.begin() + 1, reply.end() - 1, [] (uint8_t b)
                                  { return b < 0x80; }));
        EXPECT_EQ (unit.getStatistics (p).identityRequests, 1);
    }

    // Body offsets 10 to 13 hold the version, 14 the processor code.
    EXPECT_EQ (std::vector<uint8_t> (connection.sent[1].second.begin() + 11, connection.sent[1].second.begin() + 15), (std::vector<uint8_t> { 0, 0, 2, 5 }));
    EXPECT_EQ (connection.sent[0].second[15], 0x00);
    EXPECT_EQ (connection.sent[1].second[15], 0x10);
    EXPECT_EQ (connection.sent[2].second[15], 0x30);
    EXPECT_EQ (unit.getImageCount (0), 0) << "a device inquiry is not an image";
}

TEST (SimulatedZarvik, ReassemblesAnImageFromBuffersCutAnywhere)
{
    SimulatedZarvik unit;
    const auto image = TestImages::make (0x20, 5000);

    feedInPieces (unit, 2, image, 7);
    feedInPieces (unit, 2, image, 8);

    const auto images = unit.getImages (2);
    ASSERT_EQ (images.size(), 2u);

    for (auto& received : images)
    {
        EXPECT_TRUE (received.complete);
        EXPECT_TRUE (received.valid) << received.problem;
        EXPECT_EQ (received.bytes, image);
    }

    const auto statistics = unit.getStatistics (2);
    EXPECT_EQ (statistics.bytesReceived, 2 * image.size());
    EXPECT_EQ (statistics.maxTransfersAtOnce, 1);
    EXPECT_EQ (statistics.strayBytes, 0u);
    EXPECT_EQ (unit.getBufferArrivalTimes (2).size(), statistics.buffersReceived);
    EXPECT_EQ (unit.getImageCount (1), 0);
}

TEST (SimulatedZarvik, FlagsImagesThatAreDamagedOrForAnotherProcessor)
{
    SimulatedZarvik unit;
    auto damaged = TestImages::make (0x10, 600);
    damaged[200] = damaged[200] == '0' ? '1' : '0'; // breaks a checksum or the syntax
    const auto forGraphics = TestImages::make (0x20, 600);
    auto eightBit = TestImages::make (0x10, 600);
    eightBit[300] = 0x81;

    unit.receive (1, damaged.data(), damaged.size());
    unit.receive (1, forGraphics.data(), forGraphics.size());
    unit.receive (1, eightBit.data(), eightBit.size());

    const auto images = unit.getImages (1);
    ASSERT_EQ (images.size(), 3u);

    for (auto& received : images)
    {
        EXPECT_TRUE (received.complete);
        EXPECT_FALSE (received.valid);
        EXPECT_FALSE (received.problem.empty());
    }
}

TEST (SimulatedZarvik, TwoTransfersInterleavedOnOnePortCountAsCorruption)
{
    SimulatedZarvik unit;
    const auto a = TestImages::make (0x10, 1000);
    const auto b = TestImages::make (0x10, 1000);

    // Buffers of two senders alternating on the port, as two timers would send them.
    for (size_t offset = 0; offset < a.size(); offset += 256)
    {
        const auto size = std::min<size_t> (256, a.size() - offset);
        unit.receive (1, a.data() + offset, size);
        unit.receive (1, b.data() + offset, size);
    }

    const auto statistics = unit.getStatistics (1);
    EXPECT_EQ (statistics.maxTransfersAtOnce, 2);
    EXPECT_EQ (statistics.interleavedStarts, 1);
    EXPECT_GT (statistics.strayBytes, 0u);
    EXPECT_FALSE (unit.isReceivingImage (1));

    for (auto& received : unit.getImages (1))
        EXPECT_FALSE (received.valid);
}

TEST (SimulatedZarvik, DisconnectsAfterTheGivenNumberOfBytesAndKeepsTheImageIncomplete)
{
    SimulatedZarvik unit;
    RecordingConnection connection;
    unit.setConnection (&connection);
    const auto image = TestImages::make (0x00, 2000);

    unit.disconnectAfterBytes (0, 700);

    for (size_t offset = 0; offset < 1024; offset += 256)
        unit.receive (0, image.data() + offset, 256);

    EXPECT_EQ (connection.disconnected, std::vector<int> { 0 });
    EXPECT_FALSE (unit.isReceivingImage (0));

    const auto images = unit.getImages (0);
    ASSERT_EQ (images.size(), 1u);
    EXPECT_FALSE (images[0].complete);
    EXPECT_FALSE (images[0].valid);
    EXPECT_EQ (images[0].bytes, std::vector<uint8_t> (image.begin(), image.begin() + 700));
}

TEST (SimulatedZarvik, DisconnectsAsSoonAsTheGivenImageHasArrivedWholeAndKeepsNothingAfterIt)
{
    SimulatedZarvik unit;
    RecordingConnection connection;
    unit.setConnection (&connection);
    auto bytes = TestImages::make (0x00, 600);
    const auto image = bytes;
    bytes.insert (bytes.end(), image.begin(), image.end());

    unit.disconnectAfterImages (0, 1);
    unit.receive (0, bytes.data(), bytes.size());

    EXPECT_EQ (connection.disconnected, std::vector<int> { 0 });
    EXPECT_FALSE (unit.isReceivingImage (0));

    const auto images = unit.getImages (0);
    ASSERT_EQ (images.size(), 1u);
    EXPECT_TRUE (images[0].valid) << images[0].problem;
    EXPECT_EQ (images[0].bytes, image);
}

struct RestartCase
{
    const char* name;
    std::function<void (SimulatedZarvik&)> damage; // before the audio image arrives
    std::vector<uint8_t> audioImage;
    bool audioUpdated;
};

void PrintTo (const RestartCase& restartCase, std::ostream* os)
{
    *os << restartCase.name;
}

class SimulatedZarvikRestart : public testing::TestWithParam<RestartCase>
{
};

TEST_P (SimulatedZarvikRestart, ComesBackWithTheNewVersionWhereEveryImageSinceTheLastRestartWasIntact)
{
    RecordingConnection connection;
    SimulatedZarvik unit;
    unit.setConnection (&connection);
    prepareForUpdate (unit);

    GetParam().damage (unit);
    updateThenRestart (unit, GetParam().audioImage);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return connection.getReconnects() == 1; }));

    EXPECT_EQ (connection.disconnected, (std::vector<int> { 0, 1, 2 }));
    auto restarts = unit.getRestarts();
    ASSERT_EQ (restarts.size(), 1u);
    EXPECT_TRUE (restarts[0].back);
    EXPECT_EQ (restarts[0].processors[1].updated, GetParam().audioUpdated);
    EXPECT_EQ (restarts[0].processors[1].reason.empty(), GetParam().audioUpdated);

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
    {
        const auto updated = p != 1 || GetParam().audioUpdated;
        EXPECT_EQ (reportedVersion (unit, p), (updated ? versionsAfter : versionsBefore)[(size_t) p]) << "processor " << p;
        EXPECT_EQ (restarts[0].processors[(size_t) p].version, reportedVersion (unit, p));
    }

    // A later update that arrives whole is judged on its own images.
    updateThenRestart (unit, updateImages()[1]);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return connection.getReconnects() == 2; }));

    restarts = unit.getRestarts();
    ASSERT_EQ (restarts.size(), 2u);
    EXPECT_TRUE (restarts[1].processors[1].updated) << restarts[1].processors[1].reason;
    EXPECT_EQ (reportedVersion (unit, 1), versionsAfter[1]);
}

INSTANTIATE_TEST_SUITE_P (SimulatedZarvik,
                          SimulatedZarvikRestart,
                          testing::Values (
                              RestartCase { "CleanImages", [] (SimulatedZarvik&) {}, updateImages()[1], true },
                              RestartCase { "ADroppedBuffer", [] (SimulatedZarvik& unit)
                                            { unit.damageBuffer (1, 5, SimulatedZarvik::BufferDamage::dropped); },
                                            updateImages()[1],
                                            false },
                              RestartCase { "AnAlteredByte", [] (SimulatedZarvik& unit)
                                            { unit.damageBuffer (1, 5, SimulatedZarvik::BufferDamage::altered); },
                                            updateImages()[1],
                                            false },
                              RestartCase { "AWellFormedImageThatIsNotTheUpdates", [] (SimulatedZarvik&) {}, TestImages::make (0x10, 2000), false },
                              // The rest of the first image is stray bytes; the second arrives whole.
                              RestartCase { "AnImageWhoseF0WasLostBeforeAnIntactOne", [] (SimulatedZarvik& unit)
                                            { unit.damageBuffer (1, 1, SimulatedZarvik::BufferDamage::dropped); },
                                            twice (updateImages()[1]),
                                            false }),
                          [] (const testing::TestParamInfo<RestartCase>& info)
                          { return std::string (info.param.name); });

TEST (SimulatedZarvik, StaysAfterAnUpdateUnlessToldToRestart)
{
    // Two units get the same update, the one that may not restart first, and
    // its settle time has passed when the other restarts.
    std::array<RecordingConnection, 2> connections;
    std::array<SimulatedZarvik, 2> units;

    for (size_t i : { 1, 0 })
    {
        units[i].setConnection (&connections[i]);
        prepareForUpdate (units[i]);
    }

    sendUpdate (units[1], updateImages()[1]);
    updateThenRestart (units[0], updateImages()[1]);

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return connections[0].getReconnects() == 1; }));

    EXPECT_TRUE (connections[1].disconnected.empty());
    EXPECT_TRUE (units[1].getRestarts().empty());
    EXPECT_EQ (reportedVersion (units[1], 0), versionsBefore[0]);
}

//==============================================================================
TEST (InProcessZarvik, ShowsThreePortsThatAnswerTheHostsIdentityRequests)
{
    InProcessMidiPorts ports;
    InProcessZarvik zarvik (ports);
    zarvik.getUnit().setVersion (0, { 0, 0, 3, 6 });
    RecordingListener listener;

    MidiManager manager (ports);
    manager.addListener (&listener);

    for (auto name : { "Zarvik Control", "Zarvik Audio", "Zarvik Graphics" })
    {
        EXPECT_TRUE (manager.isOutputPortAvailable (name));
        EXPECT_TRUE (manager.isInputPortAvailable (name));
        manager.openOutputPort (name);
        manager.openInputPort (name);
        EXPECT_EQ (manager.sendMessageToPort (name, messageOf (identityRequest)), 1);
    }

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return listener.count() == 3; }));

    for (auto& call : listener.get())
    {
        const auto processor = SimulatedZarvik::findProcessor (call.port.toStdString());
        ASSERT_GE (processor, 0);
        EXPECT_EQ (call.bytes, zarvik.getUnit().getIdentityReply (processor));
    }

    manager.removeListener (&listener);
}

TEST (InProcessZarvik, UnpluggedPortsVanishAndComeBackWithTheirSettings)
{
    InProcessMidiPorts ports;
    InProcessZarvik zarvik (ports, false);
    MidiManager manager (ports);

    EXPECT_FALSE (manager.isOutputPortAvailable ("Zarvik Audio"));
    zarvik.setOpenBehaviour (1, InProcessZarvik::OpenBehaviour::opens, InProcessZarvik::OpenBehaviour::returnsNull);
    zarvik.plugIn();
    EXPECT_TRUE (manager.isOutputPortAvailable ("Zarvik Audio"));

    zarvik.unplug (1);
    EXPECT_FALSE (manager.isOutputPortAvailable ("Zarvik Audio"));
    EXPECT_TRUE (manager.isOutputPortAvailable ("Zarvik Graphics"));

    zarvik.plugIn (1);
    manager.openOutputPort ("Zarvik Audio");
    EXPECT_EQ (manager.sendMessageToPort ("Zarvik Audio", messageOf (identityRequest)), 0) << "the port still refuses to open";
}

TEST (InProcessZarvik, RestartsAfterAnUpdateAsNewDevicesThatReportWhatTheUpdateInstalled)
{
    InProcessMidiPorts ports;
    InProcessZarvik zarvik (ports);
    auto& unit = zarvik.getUnit();
    prepareForUpdate (unit);
    unit.damageBuffer (1, 3, SimulatedZarvik::BufferDamage::altered);

    const auto images = updateImages();
    std::array<std::shared_ptr<InProcessMidiPorts::Device>, 3> before;

    for (size_t p = 0; p < images.size(); ++p)
    {
        before[p] = zarvik.getDevice ((int) p);
        auto output = ports.openOutput (before[p]->getIdentifier());
        ASSERT_NE (output, nullptr);

        for (size_t offset = 0; offset < images[p].size(); offset += 256)
            ASSERT_FALSE (output->send (images[p].data() + offset, std::min<size_t> (256, images[p].size() - offset), MidiOutputPort::stallLimit).failed());
    }

    unit.setRestartAfterUpdate (true);
    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          {
                                              const auto restarts = unit.getRestarts();
                                              return ! restarts.empty() && restarts[0].back
                                                     && zarvik.isPlugged (0) && zarvik.isPlugged (1) && zarvik.isPlugged (2); }));

    for (size_t p = 0; p < before.size(); ++p)
    {
        EXPECT_FALSE (before[p]->isPlugged());
        EXPECT_EQ (zarvik.getDevice ((int) p)->getName(), before[p]->getName());
        EXPECT_NE (zarvik.getDevice ((int) p)->getIdentifier(), before[p]->getIdentifier());
    }

    RecordingListener listener;
    MidiManager manager (ports);
    manager.addListener (&listener);

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
    {
        const auto name = SimulatedZarvik::getPortName (p);
        manager.openOutputPort (name);
        manager.openInputPort (name);
        EXPECT_EQ (manager.sendMessageToPort (name, messageOf (identityRequest)), 1);
    }

    ASSERT_TRUE (TestUtilities::runUntil ([&]
                                          { return listener.count() == 3; }));

    // The audio image arrived damaged: that processor alone keeps its version.
    for (auto& call : listener.get())
    {
        const auto p = (size_t) SimulatedZarvik::findProcessor (call.port.toStdString());
        ASSERT_LT (p, versionsAfter.size());
        EXPECT_EQ ((std::array<uint8_t, 4> { call.bytes[11], call.bytes[12], call.bytes[13], call.bytes[14] }), (p == 1 ? versionsBefore : versionsAfter)[p]) << call.port;
    }

    manager.removeListener (&listener);
}

TEST (InProcessZarvikConcurrency, TheUnitCanGoWhileTheHostIsSendingToIt)
{
    InProcessMidiPorts ports;

    for (int round = 0; round < 20; ++round)
    {
        auto zarvik = std::make_unique<InProcessZarvik> (ports);
        auto output = ports.openOutput (zarvik->getDevice (1)->getIdentifier());
        ASSERT_NE (output, nullptr);

        std::atomic<int> sent { 0 };
        std::atomic<bool> stop { false };
        std::thread sending ([&]
                             {
                                 const auto image = TestImages::make (0x10, 4096);

                                 while (! stop)
                                     for (size_t offset = 0; offset < image.size(); offset += 256)
                                         if (! output->send (image.data() + offset, std::min<size_t> (256, image.size() - offset), MidiOutputPort::stallLimit).failed())
                                             ++sent; });

        while (sent < 10)
            std::this_thread::yield();

        zarvik.reset();
        stop = true;
        sending.join();

        EXPECT_TRUE (output->send (identityRequest.data(), identityRequest.size(), MidiOutputPort::stallLimit).failed());
    }
}

TEST (SimulatedZarvikConcurrency, BuffersFromSeveralThreadsAndQueriesDoNotRace)
{
    SimulatedZarvik unit;
    const auto image = TestImages::make (0x20, 20000);
    std::vector<std::thread> senders;

    // One thread per port, as the host's three outputs would be driven.
    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        senders.emplace_back ([&unit, p]
                              {
                                  const auto own = TestImages::make (SimulatedZarvik::getImageProcessorByte (p), 20000);

                                  for (size_t offset = 0; offset < own.size(); offset += 256)
                                      unit.receive (p, own.data() + offset, std::min<size_t> (256, own.size() - offset)); });

    uint64_t seen = 0;

    while (seen < 3 * image.size())
    {
        seen = 0;

        for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        {
            seen += unit.getStatistics (p).bytesReceived;
            unit.isReceivingImage (p);
        }
    }

    for (auto& t : senders)
        t.join();

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
    {
        const auto images = unit.getImages (p);
        ASSERT_EQ (images.size(), 1u);
        EXPECT_TRUE (images[0].valid) << images[0].problem;
    }
}
