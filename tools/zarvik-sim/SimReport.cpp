#include "SimReport.h"

#include <BinaryData.h>
#include <cstdio>
#include <cstring>
#include <juce_cryptography/juce_cryptography.h>

namespace SimReport
{
namespace
{
    std::string withSeparators (uint64_t value)
    {
        auto digits = std::to_string (value);

        for (auto i = (int) digits.size() - 3; i > 0; i -= 3)
            digits.insert ((size_t) i, ",");

        return digits;
    }

    std::string formatted (const char* format, double value)
    {
        char text[64];
        std::snprintf (text, sizeof (text), format, value);
        return text;
    }

    std::string describe (const ImageResult& image)
    {
        std::string line = withSeparators (image.size) + " bytes";

        if (image.bytesPerSecond > 0.0)
            line += " at " + formatted ("%.0f", image.bytesPerSecond) + " bytes/s";

        line += ", SHA-256 " + image.sha256 + ", ";

        if (! image.complete)
            return line + "INTERRUPTED: " + image.problem;

        line += image.valid ? "HEX records and checksums valid" : "INVALID: " + image.problem;
        line += image.matches.empty() ? ", equals no image of the updater's package" : ", equals " + image.matches;
        return line;
    }
}

std::string sha256Hex (const uint8_t* data, size_t size)
{
    return juce::SHA256 (data, size).toHexString().toStdString();
}

std::vector<PackageImage> packageImages()
{
    auto bytes = [] (const char* data)
    { return reinterpret_cast<const uint8_t*> (data); };

    return {
        { "Audio Application Firmware", "RZ41_appap.syx", 1, bytes (BinaryData::RZ41_appap_syx), (size_t) BinaryData::RZ41_appap_syxSize },
        { "Graphics Application Firmware", "RZ41_appga.syx", 2, bytes (BinaryData::RZ41_appga_syx), (size_t) BinaryData::RZ41_appga_syxSize },
        { "Graphics Assets", "RZ41_assetsga.syx", 2, bytes (BinaryData::RZ41_assetsga_syx), (size_t) BinaryData::RZ41_assetsga_syxSize },
        { "Audio Assets", "RZ41_assetsap.syx", 1, bytes (BinaryData::RZ41_assetsap_syx), (size_t) BinaryData::RZ41_assetsap_syxSize },
        { "Control Firmware", "RZ41_apptr.syx", 0, bytes (BinaryData::RZ41_apptr_syx), (size_t) BinaryData::RZ41_apptr_syxSize },
    };
}

std::vector<PortResult> collect (const SimulatedZarvik& unit, const std::vector<PackageImage>& package)
{
    std::vector<PortResult> ports;

    for (int processor = 0; processor < SimulatedZarvik::numProcessors; ++processor)
    {
        PortResult port;
        port.processor = processor;
        port.statistics = unit.getStatistics (processor);

        double paced = 0.0, seconds = 0.0;

        for (const auto& received : unit.getImages (processor))
        {
            ImageResult image;
            image.processor = processor;
            image.size = received.bytes.size();
            image.sha256 = sha256Hex (received.bytes.data(), received.bytes.size());
            image.complete = received.complete;
            image.valid = received.valid;
            image.problem = received.problem;
            image.bytesPerSecond = received.bytesPerSecond();

            if (image.bytesPerSecond > 0.0)
            {
                paced += (double) (received.bytes.size() - received.firstBufferBytes);
                seconds += received.endTime - received.startTime;
            }

            // Same kind: an image of the package meant for this port.
            for (const auto& candidate : package)
                if (candidate.processor == processor && candidate.size == image.size
                    && std::memcmp (candidate.data, received.bytes.data(), image.size) == 0)
                    image.matches = candidate.displayName + " (" + candidate.fileName + ")";

            port.images.push_back (std::move (image));
        }

        port.bytesPerSecond = seconds > 0.0 ? paced / seconds : 0.0;
        ports.push_back (std::move (port));
    }

    return ports;
}

bool allIntact (const std::vector<PortResult>& ports)
{
    for (const auto& port : ports)
    {
        if (port.statistics.interleavedStarts > 0 || port.statistics.pacingFaults > 0)
            return false;

        for (const auto& image : port.images)
            if (! image.complete || ! image.valid || image.matches.empty())
                return false;
    }

    return true;
}

std::string format (const std::vector<PortResult>& ports)
{
    std::string text;
    int images = 0, faulty = 0;
    size_t pacingFaults = 0, interleaved = 0;

    for (const auto& port : ports)
    {
        const auto& s = port.statistics;
        pacingFaults += (size_t) s.pacingFaults;
        interleaved += (size_t) s.interleavedStarts;
        text += SimulatedZarvik::getPortName (port.processor) + ": " + withSeparators (s.bytesReceived) + " bytes in "
                + withSeparators (s.buffersReceived) + " buffers, " + std::to_string (s.identityRequests) + " identity requests";

        if (port.bytesPerSecond > 0.0)
            text += ", " + formatted ("%.0f", port.bytesPerSecond) + " bytes/s ("
                    + formatted ("%.1f", 100.0 * port.bytesPerSecond / pacingBytesPerSecond) + "% of one slice per 3 ms)";

        if (s.firmwareGaps > 0)
            text += ", shortest gap " + formatted ("%.3f", s.shortestGapSeconds * 1000.0) + " ms";

        if (s.pacingFaults > 0)
            text += ", " + withSeparators (s.pacingFaults) + " PACING FAULTS (buffers under "
                    + formatted ("%.1f", SimulatedZarvik::minimumGapSeconds * 1000.0) + " ms apart)";

        if (s.interleavedStarts > 0)
            text += ", " + std::to_string (s.interleavedStarts) + " transfers interleaved";

        if (s.buffersDamaged > 0)
            text += ", " + std::to_string (s.buffersDamaged) + " buffer(s) damaged in transit on purpose";

        text += "\n";

        for (size_t i = 0; i < port.images.size(); ++i)
        {
            const auto& image = port.images[i];
            text += "  image " + std::to_string (i + 1) + ": " + describe (image) + "\n";
            ++images;
            faulty += (image.complete && image.valid && ! image.matches.empty()) ? 0 : 1;
        }
    }

    if (allIntact (ports))
        text += "Result: " + std::to_string (images) + " image(s) received, all intact and complete\n";
    else
    {
        text += "Result: FAILED: " + std::to_string (faulty) + " of " + std::to_string (images)
                + " image(s) interrupted, corrupt or unlike the package";

        if (pacingFaults > 0)
            text += "; " + std::to_string (pacingFaults) + " buffer(s) sent faster than the unit's pace";

        if (interleaved > 0)
            text += "; " + std::to_string (interleaved) + " transfer(s) interleaved";

        text += "\n";
    }

    return text;
}

std::string versionText (const std::array<uint8_t, 4>& version)
{
    return std::to_string (version[0]) + "." + std::to_string (version[1]) + "." + std::to_string (version[2]) + "." + std::to_string (version[3]);
}

std::string formatRestarts (const std::vector<SimulatedZarvik::Restart>& restarts)
{
    if (restarts.empty())
        return "Restarts: none (no image arrived, or the ports never stayed quiet for the settle time)\n";

    std::string text;

    for (size_t i = 0; i < restarts.size(); ++i)
    {
        const auto& restart = restarts[i];
        text += "Restart " + std::to_string (i + 1) + (restart.back ? ": back with " : ": still away at the end, to come back with ");

        for (size_t p = 0; p < restart.processors.size(); ++p)
        {
            const auto& processor = restart.processors[p];
            text += (p > 0 ? ", " : "") + SimulatedZarvik::getPortName ((int) p) + " " + versionText (processor.version)
                    + (processor.updated ? " (updated)" : " (old version kept: " + processor.reason + ")");
        }

        text += "\n";
    }

    return text;
}
}
