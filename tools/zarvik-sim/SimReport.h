#pragma once

#include "tools/simulator/SimulatedZarvik.h"

#include <string>
#include <vector>

/**
    What the simulated unit received, checked against the updater's own
    firmware package: for the command-line simulator's closing report.
*/
namespace SimReport
{
/** One firmware image of the updater's package, with the processor it is for. */
struct PackageImage
{
    std::string displayName;
    std::string fileName;
    int processor;
    const uint8_t* data;
    size_t size;
};

/** SHA-256 of a byte string, as the report prints it: 64 lower-case hex digits. */
std::string sha256Hex (const uint8_t* data, size_t size);

/** The five images embedded in the updater, in its sending order. */
std::vector<PackageImage> packageImages();

struct ImageResult
{
    int processor = 0;
    size_t size = 0;
    std::string sha256;
    bool complete = false;
    bool valid = false;
    std::string problem;
    std::string matches; /**< Display and file name of the equal package image; empty when none. */
    double bytesPerSecond = 0.0; /**< The pace its bytes came in at after the first buffer. */
};

struct PortResult
{
    int processor = 0;
    SimulatedZarvik::PortStatistics statistics;
    double bytesPerSecond = 0.0; /**< The pace of its images' bytes; 0 without any. */
    std::vector<ImageResult> images;
};

std::vector<PortResult> collect (const SimulatedZarvik& unit, const std::vector<PackageImage>& package);

/** True when every image received is complete, well formed and equal to a
    package image, no transfers interleaved and no two buffers on a port came
    closer than the unit's pace. */
bool allIntact (const std::vector<PortResult>& ports);

/** The report as text, one line per port and per image, and a closing verdict. */
std::string format (const std::vector<PortResult>& ports);

/** A version as four dotted fields, as 0.0.3.6. */
std::string versionText (const std::array<uint8_t, 4>& version);

/** One line per restart of the unit: the version each processor came back
    with, and why a processor kept its old one. A line that says so when
    there was none. */
std::string formatRestarts (const std::vector<SimulatedZarvik::Restart>& restarts);

/** Bytes per second that one 256-byte slice per 3 ms tick delivers. */
constexpr double pacingBytesPerSecond = 256.0 / 0.003;
}
