// HRX: raising, checked assignment and the return-code conversion at component boundaries.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <new>
#include <regex>
#include <stdexcept>

#include "ErrorHandling/ErrorObjects.h"
#include "ErrorHandling/ErrorRecord.h"
#include "ErrorHandling/HRX.h"

namespace corvane {
namespace {

const std::regex kAddressGroup("0x[0-9A-F]{16}(,0x[0-9A-F]{16})?");

void ClearThreadError()
{
    SkSetErrorInfo(0, nullptr);
}

// Two components, the outer calling the inner, each closing with the boundary conversion.
HRESULT InnerMethod() noexcept
try {
    ThrowHr(E_INVALIDARG);
} CV_CATCH_RETURN("Test::Inner")

HRESULT OuterMethod() noexcept
try {
    HRX hr;
    hr = InnerMethod();
    return S_OK;
} CV_CATCH_RETURN("Test::Outer")

[[gnu::noinline]] void ThrowHere(HRX& caught)
{
    try {
        ThrowHr(E_INVALIDARG);
    } catch (const HRX& error) {
        caught = error;
    }
}

[[gnu::noinline]] void AssignHere(HRX& caught)
{
    try {
        HRX hr;
        hr = E_POINTER;
    } catch (const HRX& error) {
        caught = error;
    }
}

bool IsInside(const void* address, void (*function)(HRX&))
{
    const auto at = reinterpret_cast<uintptr_t>(address);
    const auto start = reinterpret_cast<uintptr_t>(function);
    return at > start && at < start + 512;
}

TEST(HRX, TraceStartsInTheFunctionThatRaised)
{
    HRX thrown;
    ThrowHere(thrown);
    EXPECT_TRUE(IsInside(thrown.Trace()[0], &ThrowHere)) << thrown.Trace()[0];
    EXPECT_EQ(thrown.FrameSkip(), 1u);

    HRX assigned;
    AssignHere(assigned);
    EXPECT_TRUE(IsInside(assigned.Trace()[0], &AssignHere)) << assigned.Trace()[0];
    EXPECT_NE(assigned.Trace()[1], nullptr);
}

TEST(HRX, ThrowHrTurnsSuccessIntoEFailAndIsCaughtAsHres)
{
    try {
        ThrowHr(S_FALSE);
        FAIL();
    } catch (const HRES& error) {
        EXPECT_EQ(error.Code(), E_FAIL);
    }
    EXPECT_THROW(CheckHr(kHrNotFound), HRX);
    EXPECT_NO_THROW(CheckHr(S_FALSE));
    int value = 1;
    EXPECT_EQ(CheckNotNull(&value, E_POINTER), &value);
    EXPECT_THROW(CheckNotNull(static_cast<int*>(nullptr), E_POINTER), HRX);
}

TEST(HRX, CapturesTheRaisingCodeAndTakesTheThreadsErrorObject)
{
    const auto foreign = MakeErrorObject("from a callee", GUID{});
    SkSetErrorInfo(0, foreign.Get());
    try {
        HRX hr;
        hr = E_ACCESSDENIED;
        FAIL();
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), E_ACCESSDENIED);
        EXPECT_EQ(error.ErrorInfo(), foreign.Get());
        EXPECT_NE(error.Trace()[0], nullptr);
        EXPECT_TRUE(std::regex_match(ErrorText(error), std::regex("0x80070005 from a callee \\[.*\\]")))
            << ErrorText(error);
    }
    IErrorInfo* left = nullptr;
    EXPECT_EQ(SkGetErrorInfo(0, &left), S_FALSE);
}

TEST(HRX, NonThrowingAssignmentThrowsLaterAndSuccessNever)
{
    HRX ok(S_OK);
    EXPECT_NO_THROW(ok.ThrowIfFailed());
    EXPECT_NO_THROW(ok = S_FALSE);

    HRX later(kHrInvalidData);
    EXPECT_THROW(later.ThrowIfFailed(), HRX);
}

TEST(HRX, ErrorTextHasCodeMessageAndOneAddressGroup)
{
    ClearThreadError();
    try {
        ThrowHr(E_INVALIDARG);
    } catch (const HRX& error) {
        std::smatch match;
        const std::string text = ErrorText(error);
        ASSERT_TRUE(std::regex_match(text, match, std::regex("0x80070057 The parameter is incorrect \\[(.*)\\]"))) << text;
        EXPECT_TRUE(std::regex_match(match[1].str(), kAddressGroup)) << text;
    }
}

TEST(ReturnCode, SetsAMarkedErrorObjectWithTheErrorText)
{
    ClearThreadError();
    EXPECT_EQ(InnerMethod(), E_INVALIDARG);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(SkGetErrorInfo(0, info.Put()), S_OK);
    GUID guid{};
    info->GetGUID(&guid);
    EXPECT_EQ(guid, kErrorTextMarkerGuid);
    const auto record = ParseErrorText(ReadErrorDescription(info.Get()));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->code, E_INVALIDARG);
    EXPECT_EQ(record->description, "The parameter is incorrect");
    EXPECT_TRUE(std::regex_match(record->trace, kAddressGroup)) << record->trace;
}

TEST(ReturnCode, AnErrorThroughTwoComponentsCarriesTwoTraceGroups)
{
    ClearThreadError();
    EXPECT_EQ(OuterMethod(), E_INVALIDARG);
    const auto record = ParseErrorText(SerializeCurrentError(E_INVALIDARG));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description, "The parameter is incorrect");
    const auto groups = record->trace.find(';');
    ASSERT_NE(groups, std::string::npos) << record->trace;
    EXPECT_TRUE(std::regex_match(record->trace.substr(0, groups), kAddressGroup));
    EXPECT_TRUE(std::regex_match(record->trace.substr(groups + 1), kAddressGroup));
}

HRESULT Boundary(void (*body)()) noexcept
try {
    body();
    return S_OK;
} CV_CATCH_RETURN("Test::Boundary")

TEST(ReturnCode, OtherExceptionsBecomeCodesAndSuccessNeverLeaks)
{
    EXPECT_EQ(Boundary([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(Boundary([] { throw std::runtime_error("x"); }), E_UNEXPECTED);
    EXPECT_EQ(Boundary([] { throw 42; }), E_UNEXPECTED);
    EXPECT_EQ(Boundary([] { throw HRES(kHrNotFound); }), kHrNotFound);
    EXPECT_EQ(Boundary([] { throw HRX(S_OK); }), E_FAIL);
    EXPECT_EQ(Boundary([] {}), S_OK);
    EXPECT_EQ(ResultFromCaughtException("Test::NoException"), E_UNEXPECTED);

    EXPECT_EQ(Boundary([] { throw HRX(kHrNotFound); }), kHrNotFound);
    EXPECT_THAT(SerializeCurrentError(kHrNotFound), testing::StartsWith("0x80070490 Element not found ["));
}

TEST(ReturnCode, ADescribedThrowKeepsItsDescription)
{
    EXPECT_EQ(Boundary([] { ThrowHrWithDescription(kHrInvalidData, "line 2, column 3: bad"); }), kHrInvalidData);
    EXPECT_THAT(SerializeCurrentError(kHrInvalidData), testing::StartsWith("0x8007000D line 2, column 3: bad ["));
}

}  // namespace
}  // namespace corvane
