// GUID and HRESULT text: the forms written, and which GUID texts are read back.
#include "common/Helpers/PrimitiveText.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

const GUID kGuid = {0x87074C74, 0x6D4D, 0x4288, {0x92, 0xE8, 0xB9, 0x54, 0x78, 0x9A, 0x88, 0xBD}};

TEST(PrimitiveText, WritesUpperCaseFixedWidthTexts)
{
    EXPECT_EQ(GuidToText(kGuid), "{87074C74-6D4D-4288-92E8-B954789A88BD}");
    EXPECT_EQ(GuidToText(GUID{0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 0xA}}), "{00000001-0002-0003-0000-00000000000A}");
    EXPECT_EQ(HrToText(static_cast<HRESULT>(0x80040C03)), "0x80040C03");
    EXPECT_EQ(HrToText(0), "0x00000000");
}

TEST(PrimitiveText, ReadsGuidTextsWithOrWithoutBracesAndRefusesAnythingElse)
{
    for (const char* text : {"{87074C74-6D4D-4288-92E8-B954789A88BD}", "87074c74-6d4d-4288-92e8-b954789a88bd"}) {
        GUID read{};
        ASSERT_TRUE(ParseGuidText(text, read)) << text;
        EXPECT_EQ(GuidToText(read), GuidToText(kGuid)) << text;
    }
    for (const char* text : {"", "{87074C74-6D4D-4288-92E8-B954789A88BD", "87074C74-6D4D-4288-92E8-B954789A88B",
                             "87074C74-6D4D-4288-92E8-B954789A88BDA", "87074C74+6D4D-4288-92E8-B954789A88BD",
                             "87074C74-6D4D-4288-92E8-B954789A88BG", " 7074C74-6D4D-4288-92E8-B954789A88BD",
                             "+7074C74-6D4D-4288-92E8-B954789A88BD", "87074C74-6D4D-4288-92E8B-954789A88BD"}) {
        GUID read = kGuid;
        EXPECT_FALSE(ParseGuidText(text, read)) << text;
        EXPECT_EQ(GuidToText(read), GuidToText(kGuid)) << "untouched on refusal: " << text;
    }
}

}  // namespace
}  // namespace cvn
