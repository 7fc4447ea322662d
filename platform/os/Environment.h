// Environment variables: lookup and %VAR% expansion as the system does it.
// Thread safety: reads only; may be called from any thread at once (not while another thread sets variables).
#pragma once

#include <optional>
#include <string>

namespace cvn::os {

/// The variable's value, or nothing when it is not set (an empty but set variable gives "").
std::optional<std::string> GetEnvironmentVariable(const std::string& name);

/// Replaces each %NAME% by the variable's value; unset names, "%%" and an unpaired "%" stay as written.
std::string ExpandEnvironmentStrings(const std::string& text);

}  // namespace cvn::os
