// zarvik-sim: presents a simulated Brelmar Zarvik on the system's MIDI, so an
// update can be rehearsed without the hardware. See --help.

#include "AlsaSequencerUnit.h"
#include "SimReport.h"
#include "firmware/ZarvikUnit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace
{
std::atomic<bool> stopRequested { false };

void requestStop (int) { stopRequested = true; }

const char* const usage =
    "usage: zarvik-sim [options]\n"
    "\n"
    "Presents a simulated Brelmar Zarvik on the ALSA sequencer: one client with the\n"
    "ports \"Zarvik Control\", \"Zarvik Audio\" and \"Zarvik Graphics\". The unit answers\n"
    "identity requests as a rehearsal unit, the only kind an updater built with test\n"
    "firmware updates, and takes in firmware images. It ends on SIGINT or SIGTERM,\n"
    "or after --images, and prints a report of every image it received; it exits\n"
    "with 0 only when everything it received was intact and complete.\n"
    "\n"
    "  --control-version A.B.C.D   version the control processor reports (default 0.0.3.1)\n"
    "  --audio-version A.B.C.D     version the audio processor reports (default 0.0.2.1)\n"
    "  --graphics-version A.B.C.D  version the graphics processor reports (default 0.0.2.1)\n"
    "  --control-code HEX          processor code the control port answers with (default 00)\n"
    "  --audio-code HEX            processor code the audio port answers with (default 10)\n"
    "  --graphics-code HEX         processor code the graphics port answers with (default 20)\n"
    "  --no-rehearsal-marker       answer like a real unit: leave out the rehearsal marker\n"
    "                              (\"REHEARSAL UNIT\" in the identity reply), so an updater\n"
    "                              built with test firmware refuses to update it\n"
    "  --unplug-after PORT:N       remove the ports once N bytes arrived on PORT\n"
    "                              (PORT is control, audio or graphics)\n"
    "  --unplug-after-image PORT:N remove the ports as soon as the Nth image on PORT\n"
    "                              has arrived whole\n"
    "  --stall-after PORT:N        stop reading once N bytes arrived on PORT, as a unit\n"
    "                              whose input hung: the ports stay, nothing more is read\n"
    "                              on any of them, and the host's writes back up\n"
    "  --silent PORT               the processor behind PORT never answers the identity\n"
    "                              request\n"
    "  --restart-after-update      restart as a unit does when its user resets it after an\n"
    "                              update: once an image has arrived and no port has had\n"
    "                              anything for the settle time, the ports go; after the\n"
    "                              away time the unit comes back as a new ALSA client and\n"
    "                              each processor reports the version the update installs\n"
    "                              (0.0.3.6, 0.0.2.5, 0.0.2.5) if every image it received\n"
    "                              since the last restart was intact and equal to the\n"
    "                              package's, else its old one\n"
    "  --restart-settle MS         the settle time (default 1000)\n"
    "  --restart-away MS           the away time (default 1000)\n"
    "  --drop-buffer PORT:N        lose the Nth buffer that arrives on PORT (identity\n"
    "                              requests count), so that its image arrives damaged\n"
    "  --alter-buffer PORT:N       flip the lowest bit of a data byte in the middle of the\n"
    "                              Nth buffer that arrives on PORT\n"
    "  --images N                  end after N images have arrived\n"
    "  --client-name NAME          name of the ALSA client (default \"Zarvik\")\n"
    "  --from-wine                 the updater runs under Wine, whose MIDI output sends each\n"
    "                              buffer as a SysEx event of its own, adding F0 in front\n"
    "                              and F7 behind where they are missing: that framing\n"
    "                              alone is undone, every other byte is checked as usual\n"
    "  --quiet                     print only the report\n"
    "  --verbose                   also print every identity request and image as it arrives\n"
    "  --help                      print this text\n";

[[noreturn]] void usageError (const std::string& problem)
{
    std::fprintf (stderr, "zarvik-sim: %s\n(zarvik-sim --help lists the options)\n", problem.c_str());
    std::exit (2);
}

int processorForKeyword (const std::string& keyword)
{
    const char* const keywords[] = { "control", "audio", "graphics" };

    for (int i = 0; i < SimulatedZarvik::numProcessors; ++i)
        if (keyword == keywords[i])
            return i;

    usageError ("unknown port '" + keyword + "' (use control, audio or graphics)");
}

unsigned long parseNumber (const std::string& text, int base, unsigned long maximum, const std::string& option)
{
    char* end = nullptr;
    const auto value = std::strtoul (text.c_str(), &end, base);

    if (text.empty() || *end != '\0' || value > maximum)
        usageError ("bad value '" + text + "' for " + option);

    return value;
}

std::array<uint8_t, 4> parseVersion (const std::string& text, const std::string& option)
{
    std::array<uint8_t, 4> fields {};
    size_t start = 0;

    for (size_t i = 0; i < fields.size(); ++i)
    {
        const auto dot = text.find ('.', start);

        if ((i < 3) != (dot != std::string::npos))
            usageError ("bad version '" + text + "' for " + option + " (four fields 0 to 127, as 0.0.3.6)");

        fields[i] = (uint8_t) parseNumber (text.substr (start, dot - start), 10, 127, option);
        start = dot + 1;
    }

    return fields;
}

// PORT:N, as audio:100000: a port and a count.
std::pair<int, uint64_t> parsePortCount (const std::string& text, const std::string& option)
{
    const auto colon = text.find (':');

    if (colon == std::string::npos)
        usageError (option + " needs PORT:N, as audio:100000");

    return { processorForKeyword (text.substr (0, colon)), parseNumber (text.substr (colon + 1), 10, ~0ul, option) };
}

// The versions the updater carries: what a unit reports after an update that took.
std::array<uint8_t, 4> versionAfterUpdate (int processor)
{
    return parseVersion (ZarvikUnit::processors[(size_t) processor].carriedVersion, "the carried version");
}

std::string versionsText (const SimulatedZarvik::Restart& restart)
{
    std::string text;

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        text += (p > 0 ? ", " : "") + SimulatedZarvik::getPortName (p).substr (7) + " "
                + SimReport::versionText (restart.processors[(size_t) p].version);

    return text;
}

struct Options
{
    int imagesToReceive = 0;
    int stallProcessor = -1;
    uint64_t stallAfterBytes = 0;
    std::string clientName = "Zarvik";
    bool quiet = false, verbose = false, fromWine = false, restartAfterUpdate = false;
    std::chrono::milliseconds settleTime { 1000 }, awayTime { 1000 };
};

Options parseOptions (int argc, char** argv, SimulatedZarvik& unit)
{
    Options options;

    for (int i = 1; i < argc; ++i)
    {
        const std::string option = argv[i];
        auto value = [&]
        {
            if (i + 1 >= argc)
                usageError (option + " needs a value");

            return std::string (argv[++i]);
        };

        if (option == "--help")
        {
            std::fputs (usage, stdout);
            std::exit (0);
        }
        else if (option == "--control-version" || option == "--audio-version" || option == "--graphics-version")
            unit.setVersion (processorForKeyword (option.substr (2, option.find ('-', 2) - 2)), parseVersion (value(), option));
        else if (option == "--control-code" || option == "--audio-code" || option == "--graphics-code")
            unit.setProcessorCode (processorForKeyword (option.substr (2, option.find ('-', 2) - 2)), (uint8_t) parseNumber (value(), 16, 0x7f, option));
        else if (option == "--no-rehearsal-marker")
            unit.setRehearsalMarker (false);
        else if (option == "--unplug-after")
        {
            const auto [processor, bytes] = parsePortCount (value(), option);
            unit.disconnectAfterBytes (processor, bytes);
        }
        else if (option == "--unplug-after-image")
        {
            const auto [processor, images] = parsePortCount (value(), option);
            unit.disconnectAfterImages (processor, (int) std::min<uint64_t> (images, 1000000));
        }
        else if (option == "--stall-after")
            std::tie (options.stallProcessor, options.stallAfterBytes) = parsePortCount (value(), option);
        else if (option == "--silent")
            unit.setAnswersIdentityRequests (processorForKeyword (value()), false);
        else if (option == "--restart-after-update")
            options.restartAfterUpdate = true;
        else if (option == "--restart-settle")
            options.settleTime = std::chrono::milliseconds (parseNumber (value(), 10, 3600000, option));
        else if (option == "--restart-away")
            options.awayTime = std::chrono::milliseconds (parseNumber (value(), 10, 3600000, option));
        else if (option == "--drop-buffer" || option == "--alter-buffer")
        {
            const auto [processor, nth] = parsePortCount (value(), option);
            unit.damageBuffer (processor, nth, option == "--drop-buffer" ? SimulatedZarvik::BufferDamage::dropped : SimulatedZarvik::BufferDamage::altered);
        }
        else if (option == "--images")
            options.imagesToReceive = (int) parseNumber (value(), 10, 1000000, option);
        else if (option == "--client-name")
            options.clientName = value();
        else if (option == "--from-wine")
            options.fromWine = true;
        else if (option == "--quiet")
            options.quiet = true;
        else if (option == "--verbose")
            options.verbose = true;
        else
            usageError ("unknown option '" + option + "'");
    }

    return options;
}

int totalImages (const SimulatedZarvik& unit, bool completeOnly)
{
    int count = 0;

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        for (const auto& image : unit.getImages (p))
            count += (! completeOnly || image.complete) ? 1 : 0;

    return count;
}

// One line per update: bytes per port and how far the image under way has got,
// measured against the package image expected next on that port.
std::string progressLine (const SimulatedZarvik& unit, const std::vector<SimReport::PackageImage>& package)
{
    std::string line;

    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
    {
        const auto stats = unit.getStatistics (p);
        const auto images = unit.getImages (p);
        line += (p > 0 ? "  " : "") + SimulatedZarvik::getPortName (p).substr (7) + " " + std::to_string (stats.bytesReceived);

        if (! unit.isReceivingImage (p))
            continue;

        std::vector<size_t> expected;

        for (const auto& image : package)
            if (image.processor == p)
                expected.push_back (image.size);

        const auto done = images.size();
        uint64_t finished = 0;

        for (const auto& image : images)
            finished += image.bytes.size();

        if (done < expected.size())
        {
            const auto current = (double) (stats.bytesReceived - finished - stats.strayBytes);
            char percent[16];
            std::snprintf (percent, sizeof (percent), " (%.1f%%)", 100.0 * current / (double) expected[done]);
            line += percent;
        }
    }

    return line;
}
}

int main (int argc, char** argv)
{
    SimulatedZarvik unit;
    const auto options = parseOptions (argc, argv, unit);
    const auto package = SimReport::packageImages();

    if (options.restartAfterUpdate)
    {
        for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        {
            std::vector<std::vector<uint8_t>> expected;

            for (const auto& image : package)
                if (image.processor == p)
                    expected.emplace_back (image.data, image.data + image.size);

            unit.setExpectedImages (p, std::move (expected));
            unit.setVersionAfterUpdate (p, versionAfterUpdate (p));
        }

        unit.setRestartTimes (options.settleTime, options.awayTime);
        unit.setRestartAfterUpdate (true);
    }

    std::signal (SIGINT, requestStop);
    std::signal (SIGTERM, requestStop);

    std::unique_ptr<AlsaSequencerUnit> host;

    try
    {
        host = std::make_unique<AlsaSequencerUnit> (unit, options.clientName, options.fromWine);
    }
    catch (const std::exception& e)
    {
        std::fprintf (stderr, "zarvik-sim: %s\n", e.what());
        return 3;
    }

    if (options.stallProcessor >= 0)
        host->stopReadingAfterBytes (options.stallProcessor, options.stallAfterBytes);

    if (! options.quiet)
        std::printf ("zarvik-sim: ALSA client %d \"%s\" with ports \"Zarvik Control\", \"Zarvik Audio\", \"Zarvik Graphics\"\n",
                     host->getClientId(),
                     options.clientName.c_str());

    std::fflush (stdout);
    const bool terminal = isatty (STDOUT_FILENO) != 0;
    auto lastProgress = std::chrono::steady_clock::now();
    int reportedRequests = 0, reportedImages = 0;
    size_t reportedLeaves = 0, reportedReturns = 0;
    bool reportedUnplug = false, reportedStall = false;

    while (! stopRequested)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (50));

        if (options.verbose)
        {
            int requests = 0;

            for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
                requests += unit.getStatistics (p).identityRequests;

            if (requests != reportedRequests)
                std::printf ("identity requests answered: %d\n", reportedRequests = requests);

            if (const auto images = totalImages (unit, false); images != reportedImages)
                std::printf ("images received: %d\n", reportedImages = images);
        }

        // A restart is under way from the moment the unit records it until
        // its ports are back, so its leaving is no unplugging.
        const auto restarts = unit.getRestarts();

        if (restarts.size() > reportedLeaves && ! options.quiet)
            std::printf ("%srestarting after the update: the ports are gone\n", terminal ? "\n" : "");

        reportedLeaves = restarts.size();

        if (reportedReturns < restarts.size() && restarts[reportedReturns].back && host->isPlugged())
        {
            if (! options.quiet)
                std::printf ("%sback as ALSA client %d: %s\n", terminal ? "\n" : "", host->getClientId(), versionsText (restarts[reportedReturns]).c_str());

            ++reportedReturns;
        }

        if (! host->isPlugged() && reportedReturns == restarts.size() && ! reportedUnplug && ! options.quiet)
        {
            std::printf ("%sunplugged: the ports are gone\n", terminal ? "\n" : "");
            reportedUnplug = true;
        }

        if (host->isStalled() && ! reportedStall && ! options.quiet)
        {
            std::printf ("%sstalled: nothing more is read\n", terminal ? "\n" : "");
            reportedStall = true;
        }

        const auto now = std::chrono::steady_clock::now();

        if (! options.quiet && now - lastProgress > std::chrono::milliseconds (terminal ? 250 : 5000))
        {
            lastProgress = now;
            std::printf (terminal ? "\r%s   " : "%s\n", progressLine (unit, package).c_str());
        }

        std::fflush (stdout);

        if (options.imagesToReceive > 0 && totalImages (unit, true) >= options.imagesToReceive)
            break;
    }

    const auto overruns = host->getOverruns();
    host.reset();

    // A transfer still under way at the end was cut short.
    for (int p = 0; p < SimulatedZarvik::numProcessors; ++p)
        unit.abandonTransfer (p);

    const auto results = SimReport::collect (unit, package);
    std::printf ("%s\nzarvik-sim report\n%s", terminal && ! options.quiet ? "\n" : "", SimReport::format (results).c_str());

    if (options.restartAfterUpdate)
        std::printf ("%s", SimReport::formatRestarts (unit.getRestarts()).c_str());

    if (overruns > 0)
        std::printf ("The sequencer dropped incoming events %d time(s): images under way then were corrupted\n", overruns);

    return SimReport::allIntact (results) && overruns == 0 ? 0 : 1;
}
