#include "control/VersionQuery.h"

#include <gtest/gtest.h>

namespace
{
// A well-formed reply body from the unit: version fields at 10..13, processor code at 14.
juce::Array<juce::uint8> replyBody (juce::uint8 a, juce::uint8 b, juce::uint8 c, juce::uint8 d, juce::uint8 processorCode = 0x00)
{
    juce::Array<juce::uint8> body;
    body.resize (35);
    const juce::uint8 head[] = { 0x7e, 0x00, 0x06, 0x02, 0x00, 0x01, 0x3f, 0x33, 0x41, 0x42 };

    for (int i = 0; i < (int) sizeof (head); ++i)
        body.set (i, head[i]);

    body.set (10, a);
    body.set (11, b);
    body.set (12, c);
    body.set (13, d);
    body.set (14, processorCode);

    for (int i = 15; i < 35; ++i)
        body.set (i, (juce::uint8) (i * 3 % 128));

    return body;
}
}

TEST (VersionQueryRequest, IsTheUniversalIdentityRequestForAllDevices)
{
    const auto request = VersionQuery::createIdentityRequest();
    const juce::uint8 expected[] = { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };

    ASSERT_EQ (request.getRawDataSize(), 6);
    EXPECT_EQ (0, memcmp (request.getRawData(), expected, sizeof (expected)));
    EXPECT_EQ (request.getTimeStamp(), 0.0);
}

TEST (VersionQueryReply, AcceptsOnlyABodyOfExactly35Bytes)
{
    auto body = replyBody (0, 0, 3, 6);
    EXPECT_TRUE (VersionQuery::isVersionReply (body));

    // Built afresh rather than resized, so each holds every reply byte it can.
    juce::Array<juce::uint8> shorter (body.getRawDataPointer(), 34);
    EXPECT_FALSE (VersionQuery::isVersionReply (shorter));
    EXPECT_EQ (VersionQuery::versionFromReply (shorter), juce::String());

    std::vector<juce::uint8> bytes (body.begin(), body.end());
    bytes.push_back (0);
    juce::Array<juce::uint8> longer (bytes.data(), (int) bytes.size());
    EXPECT_FALSE (VersionQuery::isVersionReply (longer));
    EXPECT_EQ (VersionQuery::versionFromReply (longer), juce::String());

    EXPECT_FALSE (VersionQuery::isVersionReply ({}));
}

TEST (VersionQueryReply, IgnoresTheDeviceIdAndTheBytesThatAreNotExamined)
{
    for (int deviceId : { 0x00, 0x10, 0x7f })
    {
        auto body = replyBody (0, 0, 2, 5);
        body.set (1, (juce::uint8) deviceId);
        body.set (8, 0x7f);
        body.set (9, 0x7f);
        body.set (34, 0x7f);

        EXPECT_TRUE (VersionQuery::isVersionReply (body)) << deviceId;
        EXPECT_EQ (VersionQuery::versionFromReply (body), "0.0.2.5") << deviceId;
    }
}

TEST (VersionQueryReply, RejectsABodyThatDiffersInAnyRequiredByte)
{
    for (int offset : { 0, 2, 3, 4, 5, 6, 7 })
    {
        auto body = replyBody (0, 0, 3, 6);
        body.set (offset, (juce::uint8) (body[offset] ^ 0x01));

        EXPECT_FALSE (VersionQuery::isVersionReply (body)) << "offset " << offset;
        EXPECT_EQ (VersionQuery::versionFromReply (body), juce::String()) << "offset " << offset;
        EXPECT_EQ (VersionQuery::processorOfReply (body), -1) << "offset " << offset;
    }
}

TEST (VersionQueryReply, WritesSingleDigitFieldsAsFourDottedDigits)
{
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (0, 0, 3, 6)), "0.0.3.6");
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (0, 0, 2, 5)), "0.0.2.5");
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (9, 9, 9, 9)), "9.9.9.9");
}

TEST (VersionQueryReply, AFieldOfTenOrMoreLosesItsPointOrItsFurtherDigits)
{
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (1, 2, 10, 4)), "1.2.104");
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (0, 0, 2, 15)), "0.0.2.1");
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (12, 0, 0, 25)), "120.0.2");
    EXPECT_EQ (VersionQuery::versionFromReply (replyBody (127, 100, 99, 127)), "1210991");
}

TEST (VersionQueryProcessors, MapsReplyCodesAndPortsOfTheThreeProcessors)
{
    EXPECT_EQ (VersionQuery::processorForCode (0x00), 0);
    EXPECT_EQ (VersionQuery::processorForCode (0x10), 1);
    EXPECT_EQ (VersionQuery::processorForCode (0x20), 2);

    for (int code : { 0x01, 0x30, 0x7f, -1 })
        EXPECT_EQ (VersionQuery::processorForCode (code), -1) << code;

    EXPECT_EQ (VersionQuery::portNameForProcessor (0), "Zarvik Control");
    EXPECT_EQ (VersionQuery::portNameForProcessor (1), "Zarvik Audio");
    EXPECT_EQ (VersionQuery::portNameForProcessor (2), "Zarvik Graphics");
    EXPECT_EQ (VersionQuery::portNameForProcessor (3), juce::String());
    EXPECT_EQ (VersionQuery::portNameForProcessor (-1), juce::String());
}

TEST (VersionQueryProcessors, AReplyNamesItsProcessorByByte14)
{
    EXPECT_EQ (VersionQuery::processorOfReply (replyBody (0, 0, 3, 6, 0x00)), 0);
    EXPECT_EQ (VersionQuery::processorOfReply (replyBody (0, 0, 2, 5, 0x10)), 1);
    EXPECT_EQ (VersionQuery::processorOfReply (replyBody (0, 0, 2, 5, 0x20)), 2);

    const auto unknown = replyBody (0, 0, 2, 5, 0x30);
    EXPECT_TRUE (VersionQuery::isVersionReply (unknown));
    EXPECT_EQ (VersionQuery::versionFromReply (unknown), "0.0.2.5");
    EXPECT_EQ (VersionQuery::processorOfReply (unknown), -1);
}

TEST (VersionQueryReply, MarksARehearsalUnitOnlyByTheWholeTagInItsLastFourteenBytes)
{
    auto body = replyBody (0, 0, 2, 5);
    const juce::String tag ("REHEARSAL UNIT");

    for (int i = 0; i < tag.length(); ++i)
        body.set (21 + i, (juce::uint8) tag[i]);

    EXPECT_TRUE (VersionQuery::isRehearsalReply (body));
    EXPECT_EQ (VersionQuery::versionFromReply (body), "0.0.2.5") << "the version is read as before";

    for (int offset = 21; offset < 35; ++offset)
    {
        auto changed = body;
        changed.set (offset, (juce::uint8) (body[offset] ^ 0x20));
        EXPECT_FALSE (VersionQuery::isRehearsalReply (changed)) << "offset " << offset;
    }

    body.set (7, 0x34);
    EXPECT_FALSE (VersionQuery::isRehearsalReply (body)) << "no version reply";
}
