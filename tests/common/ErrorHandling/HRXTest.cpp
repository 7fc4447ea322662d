// HRX: raising, checked assignment and the return-code conversion at component boundaries.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ErrorRecord.h"
#include "common/ErrorHandling/HRX.h"

namespace cvn {
namespace {

// One group of one or two addresses, each "0x" and 16 upper-case hex digits.
bool IsAddressGroup(std::string_view group)
{
    const auto isAddress = [](std::string_view text) {
        return text.size() == 18 && text.substr(0, 2) == "0x" &&
               text.substr(2).find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
    };
    const size_t comma = group.find(',');
    if (comma == std::string_view::npos) return isAddress(group);
    return isAddress(group.substr(0, comma)) && isAddress(group.substr(comma + 1));
}

// The trace of an error text "<prefix>[<trace>]"; "(no match)" when the text has another shape.
std::string TraceAfter(const std::string& text, const std::string& prefix)
{
    if (text.rfind(prefix + "[", 0) != 0 || text.back() != ']') return "(no match)";
    return text.substr(prefix.size() + 1, text.size() - prefix.size() - 2);
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

// Raises an error by throwing or by checked assignment and returns its own return address,
// which the error's trace must hold as the raising function's caller.
[[gnu::noinline]] const void* RaiseHere(HRX& caught, bool assign)
{
    try {
        HRX hr;
        if (assign) hr = E_POINTER;
        ThrowHr(E_INVALIDARG);
    } catch (const HRX& error) {
        caught = error;
    }
    return __builtin_return_address(0);
}

TEST(HRX, TraceHoldsTheRaisingFunctionAndItsCaller)
{
    HRX thrown;
    EXPECT_EQ(RaiseHere(thrown, false), thrown.Trace()[1]);
    EXPECT_EQ(thrown.Code(), E_INVALIDARG);
    EXPECT_NE(thrown.Trace()[0], nullptr);
    EXPECT_EQ(thrown.FrameSkip(), 1u);

    HRX assigned;
    EXPECT_EQ(RaiseHere(assigned, true), assigned.Trace()[1]);
    EXPECT_EQ(assigned.Code(), E_POINTER);
    EXPECT_NE(assigned.Trace()[0], nullptr);
}

TEST(HRX, ThrowHrTurnsSuccessIntoEFailAndOnlyFailuresThrow)
{
    try {
        ThrowHr(S_FALSE);
        FAIL();
    } catch (const HRES& error) {
        EXPECT_EQ(error.Code(), E_FAIL);
    }

    HRX ok(S_OK);
    EXPECT_NO_THROW(ok.ThrowIfFailed());
    EXPECT_NO_THROW(ok = S_FALSE);
    HRX later(kHrInvalidData);  // constructed, not assigned: throws when asked
    EXPECT_THROW(later.ThrowIfFailed(), HRX);
}

// Each raising helper throws only on its condition, with its code (success becomes E_FAIL) and description.
TEST(HRX, RaisingGrid)
{
    int value = 1;
    int* none = nullptr;
    struct Case {
        std::function<void()> raise;
        HRESULT code;
        const char* description;  // null: the thread's error object, here none
    };
    const Case cases[] = {
        {[] { ThrowIfFailed(kHrNotFound); }, kHrNotFound, nullptr},
        {[] { ThrowIfFailed(kHrNotFound, "gone"); }, kHrNotFound, "gone"},
        {[] { ThrowIf(true, E_INVALIDARG); }, E_INVALIDARG, nullptr},
        {[] { ThrowIf(true, S_FALSE, "odd"); }, E_FAIL, "odd"},
        {[&] { ThrowIfNull(none); }, E_POINTER, nullptr},
        {[&] { ThrowIfNull(none, kHrInvalidData, "no node"); }, kHrInvalidData, "no node"},
        {[] { ThrowIfNull(ComPtr<IErrorInfo>(), kHrNotFound); }, kHrNotFound, nullptr},
        {[] { ThrowHrWithDescription(S_OK, "plain"); }, E_FAIL, "plain"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        SkSetErrorInfo(0, nullptr);
        try {
            cases[i].raise();
            ADD_FAILURE() << "no throw";
        } catch (const HRX& error) {
            EXPECT_EQ(error.Code(), cases[i].code);
            EXPECT_EQ(ReadErrorDescription(error.ErrorInfo()), cases[i].description ? cases[i].description : "");
        }
    }
    EXPECT_NO_THROW(ThrowIfFailed(S_FALSE));
    EXPECT_NO_THROW(ThrowIfFailed(S_OK, "unused"));
    EXPECT_NO_THROW(ThrowIf(false, E_FAIL));
    EXPECT_NO_THROW(ThrowIf(false, E_FAIL, "unused"));
    EXPECT_EQ(ThrowIfNull(&value), &value);
    EXPECT_EQ(ThrowIfNull(&value, E_FAIL, "unused"), &value);
}

TEST(HRX, ErrorTextHasCodeMessageOrTheThreadsErrorObjectAndOneAddressGroup)
{
    SkSetErrorInfo(0, nullptr);
    try {
        ThrowHr(E_INVALIDARG);
    } catch (const HRX& error) {
        EXPECT_TRUE(IsAddressGroup(TraceAfter(ErrorText(error), "0x80070057 The parameter is incorrect ")))
            << ErrorText(error);
    }

    const auto foreign = MakeErrorObject("from a callee", GUID{});
    SkSetErrorInfo(0, foreign.Get());
    try {
        HRX hr;
        hr = E_ACCESSDENIED;
        FAIL();
    } catch (const HRX& error) {
        EXPECT_EQ(error.Code(), E_ACCESSDENIED);
        EXPECT_EQ(error.ErrorInfo(), foreign.Get());
        EXPECT_TRUE(IsAddressGroup(TraceAfter(ErrorText(error), "0x80070005 from a callee "))) << ErrorText(error);
    }
    IErrorInfo* left = nullptr;
    EXPECT_EQ(SkGetErrorInfo(0, &left), S_FALSE);  // taken, not copied
}

TEST(ReturnCode, SetsAMarkedErrorObjectAndEachComponentAddsATraceGroup)
{
    SkSetErrorInfo(0, nullptr);
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
    EXPECT_TRUE(IsAddressGroup(record->trace)) << record->trace;

    EXPECT_EQ(OuterMethod(), E_INVALIDARG);
    const auto outer = ParseErrorText(SerializeCurrentError(E_INVALIDARG));
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->description, "The parameter is incorrect");
    const auto groups = outer->trace.find(';');
    ASSERT_NE(groups, std::string::npos) << outer->trace;
    EXPECT_TRUE(IsAddressGroup(outer->trace.substr(0, groups))) << outer->trace;
    EXPECT_TRUE(IsAddressGroup(outer->trace.substr(groups + 1))) << outer->trace;
}

HRESULT Boundary(void (*body)()) noexcept
try {
    body();
    return S_OK;
} CV_CATCH_RETURN("Test::Boundary")

TEST(ReturnCode, OtherExceptionsBecomeCodesSuccessNeverLeaksAndDescriptionsStay)
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
    EXPECT_EQ(Boundary([] { ThrowHrWithDescription(kHrInvalidData, "line 2, column 3: bad"); }), kHrInvalidData);
    EXPECT_THAT(SerializeCurrentError(kHrInvalidData), testing::StartsWith("0x8007000D line 2, column 3: bad ["));
}

}  // namespace
}  // namespace cvn
