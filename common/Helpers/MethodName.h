// The qualified name of the enclosing function ("Corvane::CCorvaneGate::Configure"),
// taken from the compiler's signature at compile time, so that a method's trace
// scope and its failure line cannot disagree on its name.
// Thread safety: compile-time constants only.
#pragma once

#include <cstddef>
#include <string_view>

namespace cvn::detail {

/// "HRESULT Corvane::CCorvaneGate::Configure(IQxNode*)" -> "Corvane::CCorvaneGate::Configure".
constexpr std::string_view QualifiedNameOf(std::string_view signature) noexcept
{
    const std::string_view head = signature.substr(0, signature.find('('));
    const size_t space = head.rfind(' ');
    return space == std::string_view::npos ? head : head.substr(space + 1);
}

/// A null-terminated copy of a name in an array as long as the signature it came from.
template <size_t N>
struct FixedName {
    char text[N]{};
    constexpr explicit FixedName(std::string_view name) noexcept
    {
        for (size_t i = 0; i < name.size() && i + 1 < N; ++i) text[i] = name[i];
    }
};

}  // namespace cvn::detail

/// Declares `static constexpr ... variable` whose .text is the enclosing function's qualified name.
#define CV_DECLARE_METHOD_NAME(variable)                                                  \
    static constexpr ::cvn::detail::FixedName<sizeof(__PRETTY_FUNCTION__)> variable{ \
        ::cvn::detail::QualifiedNameOf(__PRETTY_FUNCTION__)}
