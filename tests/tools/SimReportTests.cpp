#include "tests/TestImages.h"
#include "tools/zarvik-sim/SimReport.h"
#include "tools/zarvik-sim/WineRewrapping.h"

#include <gtest/gtest.h>

namespace
{
std::string hashOf (const std::string& text)
{
    return SimReport::sha256Hex (reinterpret_cast<const uint8_t*> (text.data()), text.size());
}

// Hands an image to the unit in 256-byte buffers, as the updater sends it: one per period.
void sendInSlices (SimulatedZarvik& unit, int processor, const uint8_t* data, size_t size, std::chrono::microseconds period = std::chrono::milliseconds (3))
{
    auto arrival = std::chrono::steady_clock::now();

    for (size_t offset = 0; offset < size; offset += 256, arrival += period)
        unit.receive (processor, data + offset, std::min<size_t> (256, size - offset), arrival);
}

const SimReport::PackageImage& packageImage (const std::vector<SimReport::PackageImage>& package, const std::string& file)
{
    for (const auto& image : package)
        if (image.fileName == file)
            return image;

    throw std::runtime_error ("no package image " + file);
}
}

TEST (SimulatorReport, ItsSha256DigestsMatchTheStandardTestVectors)
{
    EXPECT_EQ (hashOf (""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ (hashOf ("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ (hashOf ("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ (hashOf (std::string (1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST (SimulatorReport, NamesThePackageImageThatEachReceivedImageEquals)
{
    SimulatedZarvik unit;
    const auto package = SimReport::packageImages();
    const auto& control = packageImage (package, "RZ41_apptr.syx");
    const auto& audio = packageImage (package, "RZ41_appap.syx");

    sendInSlices (unit, 0, control.data, control.size);
    sendInSlices (unit, 1, audio.data, audio.size);

    const auto ports = SimReport::collect (unit, package);
    ASSERT_EQ (ports.size(), 3u);
    ASSERT_EQ (ports[0].images.size(), 1u);
    EXPECT_EQ (ports[0].images[0].matches, "Control Firmware (RZ41_apptr.syx)");
    EXPECT_EQ (ports[0].images[0].sha256, SimReport::sha256Hex (control.data, control.size));
    EXPECT_EQ (ports[1].images[0].matches, "Audio Application Firmware (RZ41_appap.syx)");
    EXPECT_TRUE (SimReport::allIntact (ports));

    const auto text = SimReport::format (ports);
    EXPECT_NE (text.find ("Zarvik Control: 65,077 bytes in 255 buffers"), std::string::npos) << text;
    EXPECT_NE (text.find ("2 image(s) received, all intact and complete"), std::string::npos) << text;
}

TEST (SimulatorReport, FailsOnAnInterruptedCorruptOrForeignImage)
{
    const auto package = SimReport::packageImages();
    const auto& graphics = packageImage (package, "RZ41_appga.syx");

    {
        SimulatedZarvik unit;
        sendInSlices (unit, 2, graphics.data, 4096);
        unit.abandonTransfer (2);

        const auto ports = SimReport::collect (unit, package);
        EXPECT_FALSE (ports[2].images[0].complete);
        EXPECT_FALSE (SimReport::allIntact (ports));
        EXPECT_NE (SimReport::format (ports).find ("INTERRUPTED"), std::string::npos);
    }

    {
        // A graphics image on the audio port is well formed but not the audio port's.
        SimulatedZarvik unit;
        std::vector<uint8_t> copy (graphics.data, graphics.data + graphics.size);
        copy[2] = 0x10;
        sendInSlices (unit, 1, copy.data(), copy.size());

        const auto ports = SimReport::collect (unit, package);
        EXPECT_TRUE (ports[1].images[0].valid);
        EXPECT_TRUE (ports[1].images[0].matches.empty());
        EXPECT_FALSE (SimReport::allIntact (ports));
        EXPECT_NE (SimReport::format (ports).find ("equals no image"), std::string::npos);
    }

    {
        SimulatedZarvik unit;
        std::vector<uint8_t> copy (graphics.data, graphics.data + graphics.size);
        copy[1000] ^= 0x01;
        sendInSlices (unit, 2, copy.data(), copy.size());

        const auto ports = SimReport::collect (unit, package);
        EXPECT_FALSE (ports[2].images[0].valid);
        EXPECT_NE (SimReport::format (ports).find ("Result: FAILED: 1 of 1"), std::string::npos);
    }

    {
        // A slice lost in transit, as zarvik-sim's --drop-buffer asks.
        SimulatedZarvik unit;
        unit.damageBuffer (2, 10, SimulatedZarvik::BufferDamage::dropped);
        sendInSlices (unit, 2, graphics.data, graphics.size);

        const auto ports = SimReport::collect (unit, package);
        EXPECT_EQ (ports[2].images[0].size, graphics.size - 256);
        EXPECT_FALSE (SimReport::allIntact (ports));
        EXPECT_NE (SimReport::format (ports).find ("1 buffer(s) damaged in transit on purpose"), std::string::npos);
    }

    {
        // Whole and equal, but in a burst the unit may not keep up with.
        SimulatedZarvik unit;
        sendInSlices (unit, 2, graphics.data, graphics.size, std::chrono::microseconds (2800));

        const auto ports = SimReport::collect (unit, package);
        EXPECT_TRUE (ports[2].images[0].valid);
        EXPECT_FALSE (SimReport::allIntact (ports));
        EXPECT_NE (SimReport::format (ports).find ("PACING FAULTS"), std::string::npos);
    }
}

TEST (SimulatorReport, SaysWithWhichVersionsTheUnitCameBackAfterEachRestart)
{
    SimulatedZarvik::Restart restart;
    restart.back = true;
    restart.processors[0] = { { 0, 0, 3, 6 }, true, "" };
    restart.processors[1] = { { 0, 0, 2, 1 }, false, "image 1 damaged: at offset 700: bad checksum" };
    restart.processors[2] = { { 0, 0, 2, 5 }, true, "" };
    auto away = restart;
    away.back = false;

    EXPECT_EQ (SimReport::formatRestarts ({ restart, away }),
               "Restart 1: back with Zarvik Control 0.0.3.6 (updated), Zarvik Audio 0.0.2.1 (old version kept: image 1 damaged: "
               "at offset 700: bad checksum), Zarvik Graphics 0.0.2.5 (updated)\n"
               "Restart 2: still away at the end, to come back with Zarvik Control 0.0.3.6 (updated), Zarvik Audio 0.0.2.1 "
               "(old version kept: image 1 damaged: at offset 700: bad checksum), Zarvik Graphics 0.0.2.5 (updated)\n");
    EXPECT_EQ (SimReport::formatRestarts ({}).rfind ("Restarts: none", 0), 0u);
}

TEST (WineRewrappingUndone, GivesBackEverySliceAsSentAndPassesAnythingElseUnchanged)
{
    using Bytes = std::vector<uint8_t>;
    const Bytes request { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };
    const auto image = TestImages::make (0x10, 1000);

    // What the updater writes: requests around an image in slices, the last one 2 bytes long.
    std::vector<Bytes> written { request };

    for (size_t offset = 0; offset < image.size(); offset += 499)
        written.emplace_back (image.begin() + (std::ptrdiff_t) offset, image.begin() + (std::ptrdiff_t) std::min (image.size(), offset + 499));

    written.push_back (request);

    WineRewrapping wine;

    for (const auto& buffer : written)
    {
        auto event = buffer;

        if (event.front() != 0xf0)
            event.insert (event.begin(), 0xf0);

        if (event.back() != 0xf7)
            event.push_back (0xf7);

        EXPECT_EQ (wine.undo (1, event.data(), event.size()), buffer);
    }

    // Bytes that Wine would not have sent as they are reach the unit as they came.
    const Bytes stray { 0x41, 0x42, 0xf7 };
    EXPECT_EQ (wine.undo (1, stray.data(), stray.size()), stray);
}
