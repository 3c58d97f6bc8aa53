#include "VersionQuery.h"
#include "firmware/ZarvikUnit.h"

namespace VersionQuery
{
namespace
{
    constexpr int replyBodySize = 35;
    constexpr int firstVersionField = 10;
    constexpr int processorCodeOffset = 14;

    // Offset and value of every byte that a version reply must carry:
    // universal non-real-time, general information, identity reply, the
    // three-byte manufacturer ID and the first byte of the family code.
    // Byte 1 is the device ID, which may hold anything.
    constexpr struct
    {
        int offset;
        juce::uint8 value;
    } requiredBytes[] = {
        { 0, 0x7e },
        { 2, 0x06 },
        { 3, 0x02 },
        { 4, 0x00 },
        { 5, 0x01 },
        { 6, 0x3f },
        { 7, 0x33 },
    };

    static_assert (rehearsalMarkerOffset + sizeof (rehearsalMarker) - 1 == replyBodySize,
                   "the marker fills the body's last bytes");
}

juce::MidiMessage createIdentityRequest()
{
    const juce::uint8 request[] = { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };
    return juce::MidiMessage (request, (int) sizeof (request), 0.0);
}

bool isVersionReply (juce::Array<juce::uint8> body)
{
    if (body.size() != replyBodySize)
        return false;

    for (const auto& required : requiredBytes)
        if (body.getUnchecked (required.offset) != required.value)
            return false;

    return true;
}

juce::String versionFromReply (juce::Array<juce::uint8> body)
{
    if (! isVersionReply (body))
        return {};

    // The unit writes each field as its decimal text followed by a point
    // into a fixed number of characters: two for the first three fields,
    // one for the last. A field of 10 or more therefore loses its point or
    // its further digits, and the updater shows exactly what the unit meant.
    juce::String version;

    for (int field = 0; field < 3; ++field)
        version << (juce::String ((int) body[firstVersionField + field]) + ".").substring (0, 2);

    version << juce::String ((int) body[firstVersionField + 3]).substring (0, 1);
    return version;
}

bool isRehearsalReply (const juce::Array<juce::uint8>& body)
{
    if (! isVersionReply (body))
        return false;

    for (int i = 0; rehearsalMarker[i] != 0; ++i)
        if (body.getUnchecked (rehearsalMarkerOffset + i) != (juce::uint8) rehearsalMarker[i])
            return false;

    return true;
}

int processorForCode (int processorCode)
{
    const auto processor = ZarvikUnit::processorOfReplyCode (processorCode);
    return processor.has_value() ? (int) *processor : -1;
}

int processorOfReply (const juce::Array<juce::uint8>& body)
{
    return isVersionReply (body) ? processorForCode (body[processorCodeOffset]) : -1;
}

juce::String portNameForProcessor (int processor)
{
    return juce::isPositiveAndBelow (processor, ZarvikUnit::numProcessors) ? ZarvikUnit::processors[(size_t) processor].portName : "";
}

std::array<juce::String, ZarvikUnit::numProcessors> carriedVersions()
{
    std::array<juce::String, ZarvikUnit::numProcessors> versions;

    for (const auto& p : ZarvikUnit::processors)
        versions[(size_t) p.processor] = p.carriedVersion;

    return versions;
}
}
