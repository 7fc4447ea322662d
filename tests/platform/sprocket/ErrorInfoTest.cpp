// Per-thread error objects of the component framework.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "corvane/ComPtr.h"
#include "corvane/Sprocket.h"

namespace cvn {
namespace {

constexpr GUID kSomeGuid = MakeGuid(0x64107A4E, 0x9383, 0x4398, 0x97FF, 0xEE55F0DA7FDF);

ComPtr<IErrorInfo> MakeError(const std::u16string& description)
{
    ComPtr<ICreateErrorInfo> creator;
    EXPECT_EQ(SkCreateErrorInfo(creator.Put()), S_OK);
    EXPECT_EQ(creator->SetDescription(description.c_str()), S_OK);
    EXPECT_EQ(creator->SetGUID(&kSomeGuid), S_OK);
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(creator.As(info), S_OK);
    return info;
}

std::u16string DescriptionOf(IErrorInfo* info)
{
    uint32_t size = 0;
    EXPECT_EQ(info->GetDescription(nullptr, &size), kHrInsufficientBuffer);
    std::u16string text(size, u'?');
    EXPECT_EQ(info->GetDescription(text.data(), &size), S_OK);
    text.resize(size - 1);
    return text;
}

TEST(ErrorObject, KeepsDescriptionAndGuidReportsTheSizeItNeedsAndAnswersItsInterfacesOnly)
{
    const ComPtr<IErrorInfo> info = MakeError(u"0x80070057 bad [0x1]");
    EXPECT_EQ(DescriptionOf(info.Get()), u"0x80070057 bad [0x1]");

    char16_t small[4] = {};
    uint32_t size = 4;
    EXPECT_EQ(info->GetDescription(small, &size), kHrInsufficientBuffer);
    EXPECT_EQ(size, 21u);

    GUID guid{};
    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, kSomeGuid);
    EXPECT_EQ(info->GetGUID(nullptr), E_POINTER);

    // Only its own interfaces answer; the writer reaches the same object.
    ComPtr<ICreateErrorInfo> writer;
    EXPECT_EQ(info.As(writer), S_OK);
    EXPECT_EQ(writer->SetDescription(nullptr), S_OK);  // clears
    EXPECT_EQ(DescriptionOf(info.Get()), u"");

    void* out = &out;
    const GUID unknown = MakeGuid(1, 2, 3, 4, 5);
    EXPECT_EQ(info->QueryInterface(&unknown, &out), E_NOINTERFACE);
    EXPECT_EQ(info->QueryInterface(nullptr, &out), E_INVALIDARG);
}

TEST(ThreadErrorInfo, GetHandsTheObjectOverAndClearsSetKeepsItAliveAndBadArgumentsAreRefused)
{
    const ComPtr<IErrorInfo> info = MakeError(u"first");
    ASSERT_EQ(SkSetErrorInfo(0, info.Get()), S_OK);

    ComPtr<IErrorInfo> taken;
    EXPECT_EQ(SkGetErrorInfo(0, taken.Put()), S_OK);
    EXPECT_EQ(taken.Get(), info.Get());
    EXPECT_EQ(SkGetErrorInfo(0, taken.Put()), S_FALSE);
    EXPECT_EQ(taken.Get(), nullptr);

    // Setting the held object again keeps it alive.
    IErrorInfo* raw = MakeError(u"same").Detach();
    ASSERT_EQ(SkSetErrorInfo(0, raw), S_OK);
    EXPECT_EQ(raw->Release(), 1u);  // only the thread holds it now
    ASSERT_EQ(SkSetErrorInfo(0, raw), S_OK);
    ASSERT_EQ(SkGetErrorInfo(0, taken.Put()), S_OK);
    EXPECT_EQ(DescriptionOf(taken.Get()), u"same");

    EXPECT_EQ(SkSetErrorInfo(1, nullptr), E_INVALIDARG);
    IErrorInfo* out = nullptr;
    EXPECT_EQ(SkGetErrorInfo(1, &out), E_INVALIDARG);
    EXPECT_EQ(SkGetErrorInfo(0, nullptr), E_POINTER);
    EXPECT_EQ(SkCreateErrorInfo(nullptr), E_POINTER);
    EXPECT_EQ(SkSetErrorInfo(0, nullptr), S_OK);  // clearing is allowed
}

TEST(ThreadErrorInfo, EachThreadHasItsOwnAndThreadExitReleasesIt)
{
    const ComPtr<IErrorInfo> mine = MakeError(u"main");
    ASSERT_EQ(SkSetErrorInfo(0, mine.Get()), S_OK);
    const ComPtr<IErrorInfo> left = MakeError(u"left behind");
    HRESULT otherResult = E_FAIL;
    std::thread([&] {
        IErrorInfo* other = nullptr;
        otherResult = SkGetErrorInfo(0, &other);
        SkSetErrorInfo(0, left.Get());
    }).join();
    EXPECT_EQ(otherResult, S_FALSE);
    EXPECT_EQ(left->AddRef(), 2u);  // ours plus the one just added: the thread's reference is gone
    left->Release();

    ComPtr<IErrorInfo> back;
    ASSERT_EQ(SkGetErrorInfo(0, back.Put()), S_OK);
    EXPECT_EQ(DescriptionOf(back.Get()), u"main");
}

}  // namespace
}  // namespace cvn
