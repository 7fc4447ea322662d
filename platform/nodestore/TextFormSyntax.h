// The vocabulary of the text form shared by its writer and its parser: the
// reserved names, the type suffixes of attribute names, which names may be
// written as XML names, and the escaping of attribute values.
// Thread safety: constants and pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cvn::nodestore::textform {

inline constexpr std::string_view kWrapper = "nr";          ///< the element around serialized nodes
inline constexpr std::string_view kUntypedTag = "node";     ///< tag of a node whose type is no tag
inline constexpr std::string_view kNameAttr = "q:name";     ///< the node's name
inline constexpr std::string_view kTypeAttr = "q:type";     ///< the node's type, on <node> only
inline constexpr std::string_view kAttrElement = "q:attr";  ///< an attribute whose name is no XML name
inline constexpr std::string_view kKnownSuffixes = "str, i32, n32, i64, bool, guid, guids, i32s, strs";

/// The suffix of a type code ("i32" for 3); "str" for strings, "" for an unknown code.
std::string_view TypeSuffix(uint16_t type) noexcept;
/// The type code of a suffix; false for an unknown suffix.
bool TypeFromSuffix(std::string_view suffix, uint16_t& type) noexcept;

/// True when text is an XML 1.0 Name.
bool IsXmlName(std::u16string_view text) noexcept;
/// True when a node type can be the element's tag.
bool IsTagType(std::u16string_view type) noexcept;
/// True when an attribute can be written as a plain XML attribute (name or name:suffix).
bool IsPlainAttributeName(std::u16string_view name) noexcept;

/// Appends text as UTF-8 escaped for a double-quoted attribute value: &amp; &lt; &gt; &quot;,
/// character references for control characters and lone surrogates.
void AppendEscaped(std::string& out, std::u16string_view text);

}  // namespace cvn::nodestore::textform
