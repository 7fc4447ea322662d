// The text form parser (see TextParser.h). One pass over a copy of the text
// builds the nodes as their tags go by: values are unescaped in place, so every
// name and value is a view into the copy, and the nodes, their data and child
// lists are carved from the parse's arena.
#include "platform/nodestore/TextParser.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/nodestore/NodeArena.h"
#include "platform/nodestore/TextDepth.h"
#include "platform/nodestore/TextFormSyntax.h"
#include "platform/nodestore/Utf.h"
#include "platform/nodestore/ValueText.h"

namespace cvn::nodestore {

namespace {

using namespace textform;

constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);

// What the XML layer reports, by fault.
constexpr const char* kMalformedTag = "malformed tag";
constexpr const char* kMalformedDeclaration = "malformed declaration or processing instruction";
constexpr const char* kMalformedComment = "malformed comment";
constexpr const char* kMalformedCdata = "malformed CDATA section";
constexpr const char* kMalformedDoctype = "malformed DOCTYPE";
constexpr const char* kMalformedStartTag = "malformed start tag";
constexpr const char* kMalformedAttribute = "malformed attribute (write name=\"value\")";
constexpr const char* kMalformedEndTag = "malformed end tag";
constexpr const char* kEndTagMismatch = "end tag does not match the open element, or an element is not closed";

// Character classes of XML names as the text form reads them: letters, '_', ':' and every byte
// of a multi-byte character may start a name; digits, '-' and '.' may follow.
enum : uint8_t { kSpace = 1, kNameStart = 2, kNameChar = 4, kValueStop = 8, kColon = 16 };
constexpr auto kClass = [] {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
        uint8_t bits = 0;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') bits |= kSpace;
        if (start) bits |= kNameStart | kNameChar;
        if ((c >= '0' && c <= '9') || c == '-' || c == '.') bits |= kNameChar;
        if (c == '&' || c == '\r' || c == '\0' || c == '"' || c == '\'') bits |= kValueStop;
        if (c == ':') bits |= kColon;
        table[static_cast<size_t>(c)] = bits;
    }
    return table;
}();

inline bool Is(char c, uint8_t bits) noexcept
{
    return (kClass[static_cast<unsigned char>(c)] & bits) != 0;
}

// The copy of the text ends in this many NUL bytes, so that names and values may be read 16 bytes
// at a time, and each node's data is laid out with this much more room, so that decoding may write
// whole blocks of units past the text it decodes.
constexpr size_t kSlack = 32;

// DecodeUtf8 for text inside the padded copy, into room with kSlack bytes to spare: ASCII is
// widened 16 bytes at a time.
size_t DecodeUtf8Padded(std::string_view text, char16_t* out) noexcept
{
#if defined(__SSE2__)
    const size_t n = text.size();
    const __m128i zero = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
        auto high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (n - i < 16) high &= (1u << (n - i)) - 1;
        if (high) return DecodeUtf8From(text, out, i + static_cast<size_t>(__builtin_ctz(high)));
    }
    return n;
#else
    return DecodeUtf8(text, out);
#endif
}

char* SkipSpace(char* at) noexcept
{
    while (Is(*at, kSpace)) ++at;
    return at;
}

char* SkipName(char* at) noexcept
{
    while (Is(*at, kNameChar)) ++at;
    return at;
}

// An attribute name, and where its first ':' is (null when none): the type suffix follows it.
char* SkipAttributeName(char* at, const char*& colon) noexcept
{
    while ((kClass[static_cast<unsigned char>(*at)] & (kNameChar | kColon)) == kNameChar) ++at;
    colon = *at == ':' ? at : nullptr;
    return colon ? SkipName(at + 1) : at;
}

// Writes a code point as UTF-8 (surrogates as three bytes, as the writer's references mean them;
// beyond U+10FFFF a sequence that the later UTF-8 check refuses).
char* PutCodePoint(char* out, uint32_t c) noexcept
{
    if (c > 0x10FFFF) c = 0x110000;
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Decodes the reference at read ('&') into write: the five named ones and "&#N;" / "&#xH;".
// Returns the position after it, or null when it is no reference, which stays as written. The
// decoded bytes are never more than the reference.
char* DecodeReference(char* read, char*& write) noexcept
{
    const char* s = read + 1;
    auto named = [&](std::string_view name, char c) -> char* {
        if (std::strncmp(s, name.data(), name.size()) != 0) return nullptr;
        *write++ = c;
        return read + 1 + name.size();
    };
    switch (*s) {
        case '#': {
            const bool hex = s[1] == 'x';
            const char* p = s + (hex ? 2 : 1);
            if (*p == ';') return nullptr;
            uint32_t code = 0;
            for (;; ++p) {
                const char c = *p;
                uint32_t digit;
                if (c >= '0' && c <= '9') {
                    digit = static_cast<uint32_t>(c - '0');
                } else if (hex && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')) {
                    digit = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
                } else if (c == ';') {
                    break;
                } else {
                    return nullptr;
                }
                code = std::min<uint32_t>(code * (hex ? 16 : 10) + digit, 0x110000);
            }
            write = PutCodePoint(write, code);
            return const_cast<char*>(p) + 1;
        }
        case 'a': {
            char* next = named("amp;", '&');
            return next ? next : named("apos;", '\'');
        }
        case 'l':
            return named("lt;", '<');
        case 'g':
            return named("gt;", '>');
        case 'q':
            return named("quot;", '"');
        default:
            return nullptr;
    }
}

// The rest of ReadValue, from the first byte that needs more than a copy (at).
[[gnu::noinline]] char* ReadEscapedValue(char* const start, char* at, char quote, std::string_view& value) noexcept
{
    char* write = at;
    const char* nul = nullptr;
    for (;;) {
        char* run = at;
        while (!Is(*at, kValueStop)) ++at;
        if (write != run) std::memmove(write, run, static_cast<size_t>(at - run));
        write += at - run;
        const char c = *at;
        if (c == quote) break;
        if (c == '\0') return nullptr;
        if (c == '\r') {
            *write++ = '\n';
            at += at[1] == '\n' ? 2 : 1;
        } else if (c == '&') {
            char* before = write;
            if (char* next = DecodeReference(at, write)) {
                at = next;
                if (!nul && write == before + 1 && *before == '\0') nul = before;
            } else {
                *write++ = *at++;
            }
        } else {  // the other quote
            *write++ = *at++;
        }
    }
    value = std::string_view(start, static_cast<size_t>((nul ? nul : write) - start));
    return at + 1;
}

// Reads an attribute value in place from after its opening quote: references decoded, line ends
// read as LF. Returns the position after the closing quote (null when there is none) and sets
// value. A reference to U+0000 ends the value there: node text holds no NUL.
[[gnu::always_inline]] inline char* ReadValue(char* at, char quote, std::string_view& value) noexcept
{
    char* const start = at;
#if defined(__SSE2__)
    // 16 bytes at a time to the first quote, '&', CR or NUL (the copy is padded).
    const __m128i quotes = _mm_set1_epi8('"'), apostrophes = _mm_set1_epi8('\''), amps = _mm_set1_epi8('&'),
                  crs = _mm_set1_epi8('\r'), nuls = _mm_setzero_si128();
    for (;;) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i stops = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, quotes), _mm_cmpeq_epi8(bytes, apostrophes)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, amps), _mm_cmpeq_epi8(bytes, crs)),
                         _mm_cmpeq_epi8(bytes, nuls)));
        if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stops))) {
            at += __builtin_ctz(mask);
            break;
        }
        at += 16;
    }
#else
    while (!Is(*at, kValueStop)) ++at;
#endif
    if (*at == quote) {  // most values have nothing to decode
        value = std::string_view(start, static_cast<size_t>(at - start));
        return at + 1;
    }
    return ReadEscapedValue(start, at, quote, value);
}

std::string Quote(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

// The attribute names of one node: scanned while few, hashed beyond, so that a node with
// very many attributes is checked for duplicates in linear time.
class NameSet {
public:
    void Clear()
    {
        m_count = 0;
        if (!m_many.empty()) m_many = {};  // clearing keeps (and walks) every bucket
    }
    /// False when the name is in the set already.
    bool Insert(std::string_view name)
    {
        if (m_count < kFew) {  // the common case, inline
            for (size_t i = 0; i < m_count; ++i)
                if (m_few[i].size() == name.size() && m_few[i] == name) return false;
            m_few[m_count++] = name;
            return true;
        }
        return InsertMany(name);
    }

private:
    [[gnu::noinline]] bool InsertMany(std::string_view name)
    {
        if (m_many.empty()) {
            for (std::string_view earlier : m_few)
                if (earlier == name) return false;
            m_many.reserve(2 * kFew);
            m_many.insert(m_few.begin(), m_few.end());
        }
        return m_many.insert(name).second;
    }

    static constexpr size_t kFew = 16;
    std::array<std::string_view, kFew> m_few;
    size_t m_count = 0;
    std::unordered_set<std::string_view> m_many;
};

class Parser {
public:
    Parser(std::string_view text, std::string& error) : m_text(text), m_error(error)
    {
        // Copied piece by piece, each looked through for a NUL while it is in the cache.
        m_buffer.reserve(text.size() + kSlack);
        constexpr size_t kPiece = 64 * 1024;
        for (size_t at = 0; at < text.size(); at += kPiece) {
            const size_t size = std::min(kPiece, text.size() - at);
            m_buffer.append(text.data() + at, size);
            if (const void* nul = std::memchr(m_buffer.data() + at, '\0', size)) {
                m_nul = static_cast<size_t>(static_cast<const char*>(nul) - m_buffer.data());
                return;  // refused as it is
            }
        }
        m_buffer.append(kSlack, '\0');
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    HRESULT Run(std::vector<TreePtr>& roots)
    {
        if (m_nul != std::string_view::npos)
            return FailAt(m_nul, "NUL character: node text holds none, so the length given reaches past its end");
        char* at = m_buffer.data();  // the padding's NUL ends the text
        char* const end = at + m_text.size();
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF") at += 3;
        for (;;) {
            char* const text = at;
            at = static_cast<char*>(std::memchr(at, '<', static_cast<size_t>(end - at)));
            if (!at) at = end;
            for (const char* c = text; c != at; ++c)
                if (!Is(*c, kSpace)) return Content(text);
            if (!*at) break;
            HRESULT hr;
            const char next = at[1];
            if (Is(next, kNameStart)) {
                hr = StartTag(at, roots);
            } else if (next == '/') {
                hr = EndTag(at);
            } else if (next == '!') {
                hr = Markup(at);
            } else if (next == '?') {
                hr = Instruction(at);
            } else {
                hr = FailSyntax(at + 1, kMalformedTag);
            }
            if (hr < 0) return hr;
        }
        if (!m_open.empty()) return FailSyntax(at, kEndTagMismatch);
        return S_OK;
    }

private:
    enum class Kind : uint8_t { Wrapper, Node, Attr };
    struct Open {
        std::string_view tag;
        Kind kind;
        Node* node;              // for Kind::Node
        uint32_t childCapacity;  // room in the node's child list, in the arena
        int level;               // of the node: 1 for a top-level node
    };
    struct RawAttribute {
        std::string_view name;
        std::string_view value;  // unescaped, in place
        uint32_t colon;          // position of the first ':' in name; its size when none
        uint16_t type;           // the type code its suffix names, once Element has looked; 0: unknown
    };

    // Text or CDATA: no values between elements.
    HRESULT Content(const char* where)
    {
        if (!m_open.empty() && m_open.back().kind == Kind::Attr) return Fail(where, "<q:attr> takes no content");
        return Fail(where, "text is not allowed between elements; values belong in attributes");
    }

    // at: '<' of a start tag.
    HRESULT StartTag(char*& at, std::vector<TreePtr>& roots)
    {
        char* const tagAt = at + 1;
        char* p = SkipName(tagAt);
        const std::string_view tag(tagAt, static_cast<size_t>(p - tagAt));
        m_raw.clear();
        bool closed = false;
        for (;;) {
            p = SkipSpace(p);  // the name ends at a blank, '/' or '>'; a value must be followed by one too
            if (Is(*p, kNameStart)) {
                char* const nameAt = p;
                const char* colon;
                p = SkipAttributeName(p, colon);
                const std::string_view name(nameAt, static_cast<size_t>(p - nameAt));
                p = SkipSpace(p);
                if (*p != '=') return FailSyntax(p, kMalformedAttribute);
                p = SkipSpace(p + 1);
                if (*p != '"' && *p != '\'') return FailSyntax(p, kMalformedAttribute);
                std::string_view value;
                char* const valueAt = p + 1;
                p = ReadValue(valueAt, *p, value);
                if (!p) return FailSyntax(valueAt, kMalformedAttribute);
                if (Is(*p, kNameStart)) return FailSyntax(p, kMalformedAttribute);  // no blank before the next
                m_raw.push_back({name, value, static_cast<uint32_t>(colon ? colon - nameAt : name.size()), 0});
            } else if (*p == '/') {
                if (p[1] != '>') return FailSyntax(p + 1, kMalformedStartTag);
                p += 2;
                closed = true;
                break;
            } else if (*p == '>') {
                ++p;
                break;
            } else {
                return FailSyntax(p, kMalformedStartTag);
            }
        }
        at = p;

        const Open* parent = m_open.empty() ? nullptr : &m_open.back();
        if (parent && parent->kind == Kind::Attr) return Fail(tagAt, "<q:attr> takes no content");
        if (!parent && tag == kWrapper) {
            if (!m_raw.empty()) return Fail(m_raw.front().name.data(), "the <nr> wrapper takes no attributes");
            if (!closed) m_open.push_back({tag, Kind::Wrapper, nullptr, 0, 0});
            return S_OK;
        }
        const bool topLevel = !parent || parent->kind == Kind::Wrapper;
        if (IsAttrElement(tag)) {
            if (topLevel)
                return Fail(tagAt, "<q:attr> belongs inside the element of the node that has the attribute");
            if (const HRESULT hr = AttrElement(tagAt, *parent->node, m_nameSets[parent->level]); hr < 0) return hr;
            if (!closed) m_open.push_back({tag, Kind::Attr, nullptr, 0, 0});
            return S_OK;
        }
        Node* node;
        int level;
        if (topLevel) {
            roots.emplace_back();  // the slot first: a node once made is always in a tree that frees it
            node = m_arena->NewNode();
            roots.back().reset(node);
            level = 1;
        } else {
            if (parent->level >= kMaxTextDepth)
                return Fail(tagAt, "element <" + std::string(tag) + "> is nested deeper than " +
                                       std::to_string(kMaxTextDepth) + " levels, the most node text may hold");
            node = AddChild(m_open.back());
            level = parent->level + 1;
        }
        if (m_nameSets.size() <= static_cast<size_t>(level)) m_nameSets.resize(static_cast<size_t>(level) + 1);
        if (const HRESULT hr = Element(tag, tagAt, *node, m_nameSets[level]); hr < 0) return hr;
        if (!closed) m_open.push_back({tag, Kind::Node, node, 0, level});
        return S_OK;
    }

    // A new node appended to the open element's node; its child list grows in the arena.
    Node* AddChild(Open& open)
    {
        ChildList& children = open.node->children;
        if (children.size() == open.childCapacity) {
            const size_t capacity = open.childCapacity ? size_t{open.childCapacity} * 2 : 4;
            if (capacity > UINT32_MAX) throw std::bad_alloc();
            auto** items = static_cast<Node**>(m_arena->Allocate(capacity * sizeof(Node*)));
            if (!children.empty()) std::memcpy(items, children.begin(), children.size() * sizeof(Node*));
            children.Borrow(items, children.size());
            open.childCapacity = static_cast<uint32_t>(capacity);
        }
        Node* child = m_arena->NewNode();
        child->parent = open.node;
        children.PushBorrowed(child);
        return child;
    }

    // at: '<' of an end tag.
    HRESULT EndTag(char*& at)
    {
        char* const nameAt = at + 2;
        char* p = SkipName(nameAt);
        if (m_open.empty() || std::string_view(nameAt, static_cast<size_t>(p - nameAt)) != m_open.back().tag)
            return FailSyntax(nameAt, kEndTagMismatch);
        p = SkipSpace(p);
        if (*p != '>') return FailSyntax(p, kMalformedEndTag);
        m_open.pop_back();
        at = p + 1;
        return S_OK;
    }

    // at: "<!": a comment, a CDATA section (content, refused) or a DOCTYPE (skipped).
    HRESULT Markup(char*& at)
    {
        if (std::strncmp(at, "<!--", 4) == 0) {
            const char* end = std::strstr(at + 4, "-->");
            if (!end) return FailSyntax(at + 4, kMalformedComment);
            at = const_cast<char*>(end) + 3;
            return S_OK;
        }
        if (std::strncmp(at, "<![CDATA[", 9) == 0) {
            if (!std::strstr(at + 9, "]]>")) return FailSyntax(at + 9, kMalformedCdata);
            return Content(at + 9);
        }
        if (std::strncmp(at, "<!DOCTYPE", 9) == 0) {
            if (!m_open.empty()) return FailSyntax(at, kMalformedDoctype);
            char* end = SkipDoctype(at + 2);
            if (!end) return FailSyntax(at, kMalformedDoctype);
            at = end;
            return S_OK;
        }
        return FailSyntax(at + 1, kMalformedTag);
    }

    // The rest of a DOCTYPE after "<!": its declarations ("<!...>", nested), quoted strings,
    // comments, instructions and ignored sections ("<![...]]>"); any other '<' is refused. The
    // position after its own '>', or null when it is malformed or the text ends first.
    static char* SkipDoctype(char* p)
    {
        int depth = 0;
        while (*p) {
            if (p[0] == '<' && p[1] == '!' && p[2] == '[') {
                p = SkipIgnoredSection(p + 3);
                if (!p) return nullptr;
            } else if (p[0] == '<' && p[1] == '!' && p[2] != '-') {
                p += 2;
                ++depth;
            } else if (p[0] == '<' && p[1] == '?') {
                const char* end = std::strstr(p + 2, "?>");
                if (!end) return nullptr;
                p = const_cast<char*>(end) + 2;
            } else if (p[0] == '<' && p[1] == '!' && p[2] == '-' && p[3] == '-') {
                const char* end = std::strstr(p + 4, "-->");
                if (!end) return nullptr;
                p = const_cast<char*>(end) + 3;
            } else if (*p == '<') {
                return nullptr;
            } else if (*p == '"' || *p == '\'') {
                const char* end = std::strchr(p + 1, *p);
                if (!end) return nullptr;
                p = const_cast<char*>(end) + 1;
            } else if (*p == '>') {
                if (depth == 0) return p + 1;
                --depth;
                ++p;
            } else {
                ++p;
            }
        }
        return nullptr;
    }

    // An ignored section after its "<![", nested ones within: the position after its "]]>".
    static char* SkipIgnoredSection(char* p)
    {
        int depth = 0;
        while (*p) {
            if (p[0] == '<' && p[1] == '!' && p[2] == '[') {
                p += 3;
                ++depth;
            } else if (p[0] == ']' && p[1] == ']' && p[2] == '>') {
                p += 3;
                if (depth == 0) return p;
                --depth;
            } else {
                ++p;
            }
        }
        return nullptr;
    }

    // at: "<?": a declaration (only before the first element) or a processing instruction, skipped.
    HRESULT Instruction(char*& at)
    {
        char* const target = at + 2;
        if (!Is(*target, kNameStart)) return FailSyntax(target, kMalformedDeclaration);
        const char* p = SkipName(target);
        const bool declaration = p - target == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
                                 (target[2] | 0x20) == 'l';
        if (declaration && !m_open.empty()) return FailSyntax(p, kMalformedDeclaration);
        const char* end = std::strstr(p, "?>");
        if (!end) return FailSyntax(p, kMalformedDeclaration);
        at = const_cast<char*>(end) + 2;
        return S_OK;
    }

    static bool IsAttrElement(std::string_view tag) noexcept
    {
        return tag.size() == kAttrElement.size() && tag[0] == 'q' && tag[1] == ':' && tag == kAttrElement;
    }

    static bool IsReserved(std::string_view key) noexcept { return key.size() > 2 && key[0] == 'q' && key[1] == ':'; }

    // The room a value of the type takes at most, from its text; 0 for an unknown type (refused later).
    static size_t ValueRoom(uint16_t type, std::string_view text) noexcept
    {
        switch (type) {
            case QXN_TYPE_STRING:
            case QXN_TYPE_STRING_LIST:  // at most one unit per byte, and one NUL per item or at the end
                return (text.size() + 1) * 2;
            case QXN_TYPE_INT32:
            case QXN_TYPE_INT32_ALT:
                return 4;
            case QXN_TYPE_INT64:
                return 8;
            case QXN_TYPE_BOOL:
                return 1;
            case QXN_TYPE_GUID:
                return 16;
            case QXN_TYPE_INT32_ARRAY:
            case QXN_TYPE_GUID_ARRAY:
                return (type == QXN_TYPE_GUID_ARRAY ? 16 : 4) *
                       (1 + static_cast<size_t>(std::count(text.begin(), text.end(), '|')));
            default:
                return 0;
        }
    }

    // The name and type code of an XML attribute "name" or "name:suffix"; false for an unknown suffix.
    static bool SplitKey(const RawAttribute& raw, std::string_view& name, std::string_view& suffix, uint16_t& type)
    {
        name = raw.name.substr(0, raw.colon);
        if (raw.colon == raw.name.size()) {
            suffix = "str";
            type = QXN_TYPE_STRING;
            return true;
        }
        suffix = raw.name.substr(raw.colon + 1);
        return TypeFromSuffix(suffix, type);
    }

    // Fills node from its tag and the attributes in m_raw: checked first (reserved names,
    // duplicates), then laid out in the arena in one piece, every text decoded in place.
    // <q:attr> children, which come later, change the data the ordinary way.
    HRESULT Element(std::string_view tag, const char* tagAt, Node& node, NameSet& names)
    {
        const bool untyped = tag == kUntypedTag;
        if (!untyped && Find(tag, ':') != std::string_view::npos)
            return Fail(tagAt, "element <" + std::string(tag) + ">: names with ':' are reserved; write <node q:type=\"" +
                                   std::string(tag) + "\"> for such a node type");
        std::string_view name, type = untyped ? std::string_view() : tag;
        const char* typeAt = tagAt;
        const char* nameAt = nullptr;
        names.Clear();
        size_t room = 0;
        for (RawAttribute& raw : m_raw) {
            const std::string_view key = raw.name;
            if (IsReserved(key)) {
                if (key == kNameAttr) {
                    name = raw.value;
                    nameAt = raw.value.data();
                } else if (key == kTypeAttr) {
                    if (!untyped)
                        return Fail(key.data(),
                                    "q:type belongs on <node>; here the tag <" + std::string(tag) + "> is the type");
                    type = raw.value;
                    typeAt = raw.value.data();
                } else {
                    return Fail(key.data(),
                                "unknown attribute " + Quote(key) + " (q:name and q:type are the reserved ones)");
                }
                continue;
            }
            std::string_view attributeName, suffix;
            raw.type = 0;
            SplitKey(raw, attributeName, suffix, raw.type);
            if (!names.Insert(attributeName))  // the same name twice, with or without a type
                return Fail(key.data(), "duplicate attribute " + Quote(attributeName));
            room += NodeData::Writer::AttributeRoom(attributeName.size(), ValueRoom(raw.type, raw.value));
        }
        room += NodeData::Writer::HeaderRoom(name.size(), type.size());  // UTF-16 takes no more units than UTF-8 bytes
        room += kSlack;

        auto* block = static_cast<uint8_t*>(m_arena->Allocate(room));
        NodeData::Writer writer(block);
        char16_t* text = writer.HeaderText();
        const size_t nameUnits = DecodeUtf8Padded(name, text);
        if (nameUnits == kInvalidUtf8) return Fail(nameAt, "invalid UTF-8");
        const size_t typeUnits = DecodeUtf8Padded(type, text + nameUnits);
        if (typeUnits == kInvalidUtf8) return Fail(typeAt, "invalid UTF-8");
        writer.EndHeader(nameUnits, typeUnits);
        for (const RawAttribute& raw : m_raw)
            if (!IsReserved(raw.name))
                if (const HRESULT hr = WriteAttribute(writer, raw); hr < 0) return hr;
        if (writer.Blank()) {
            m_arena->Shrink(block, room, 0);
        } else {
            m_arena->Shrink(block, room, writer.Size());
            node.data.Borrow(block, writer.Size());
        }
        return S_OK;
    }

    // Writes one checked XML attribute in place, within the room Element reserved for it.
    HRESULT WriteAttribute(NodeData::Writer& writer, const RawAttribute& raw)
    {
        const std::string_view key = raw.name, text = raw.value;
        const std::string_view name = key.substr(0, raw.colon);
        const uint16_t type = raw.type;
        if (!type) return UnknownType(key.data(), name, key.substr(raw.colon + 1));
        if (name.empty()) return Fail(key.data(), "an attribute needs a name");
        const size_t nameUnits = DecodeUtf8Padded(name, writer.AttributeName());
        if (nameUnits == kInvalidUtf8) return Fail(key.data(), "invalid UTF-8");
        uint8_t* value = writer.AttributeValue(nameUnits);
        size_t size = 0;
        bool parsed = false;
        switch (type) {
            case QXN_TYPE_STRING: {
                auto* units = reinterpret_cast<char16_t*>(value);
                const size_t length = DecodeUtf8Padded(text, units);  // the text has no NUL: a value ends at one
                if (length != kInvalidUtf8) {
                    units[length] = 0;
                    size = (length + 1) * 2;
                    parsed = true;
                }
                break;
            }
            case QXN_TYPE_INT32:
            case QXN_TYPE_INT32_ALT:
            case QXN_TYPE_INT64: {
                int64_t number;
                const bool wide = type == QXN_TYPE_INT64;
                if (ParseInteger(text, wide ? 64 : 32, number)) {
                    const auto narrow = static_cast<int32_t>(number);
                    size = wide ? 8 : 4;
                    std::memcpy(value, wide ? static_cast<const void*>(&number) : &narrow, size);
                    parsed = true;
                }
                break;
            }
            case QXN_TYPE_BOOL: {
                bool flag;
                if (ParseBool(text, flag)) {
                    *value = flag ? 1 : 0;
                    size = 1;
                    parsed = true;
                }
                break;
            }
            default:
                break;
        }
        if (!parsed) {  // the other types, and the text that does not parse, which this way says why
            std::string why;
            if (!ParseValueText(type, text, m_value, why)) return Fail(text.data(), "attribute " + Quote(name) + ": " + why);
            const ValueView view = m_value.View();
            if (view.size > ValueRoom(type, text)) throw std::logic_error("value larger than its room");
            if (view.size) std::memcpy(value, view.data, view.size);
            size = view.size;
        }
        writer.EndAttribute(type, nameUnits, static_cast<uint32_t>(size));
        return S_OK;
    }

    HRESULT UnknownType(const char* where, std::string_view name, std::string_view suffix)
    {
        return Fail(where, "attribute " + Quote(name) + ": unknown type " + Quote(suffix) + " (known: " +
                               std::string(kKnownSuffixes) + ")");
    }

    // A <q:attr> element (its attributes in m_raw) adds one attribute to node.
    HRESULT AttrElement(const char* tagAt, Node& node, NameSet& names)
    {
        const RawAttribute *name = nullptr, *type = nullptr, *value = nullptr;
        for (const RawAttribute& raw : m_raw) {
            const std::string_view key = raw.name;
            const RawAttribute** slot = key == "name"    ? &name
                                        : key == "type"  ? &type
                                        : key == "value" ? &value
                                                         : nullptr;
            if (!slot) return Fail(key.data(), "unknown attribute " + Quote(key) + " of <q:attr> (name, type, value)");
            *slot = &raw;
        }
        if (!name) return Fail(tagAt, "<q:attr> needs a name attribute");
        return AddAttribute(node.data, names, name->value.data(), name->value,
                            type ? type->value : std::string_view("str"),
                            value ? value->value : std::string_view());
    }

    // Adds the attribute of a <q:attr> element to data, the ordinary way.
    HRESULT AddAttribute(NodeData& data, NameSet& names, const char* where, std::string_view name,
                         std::string_view suffix, std::string_view valueText)
    {
        if (name.empty()) return Fail(where, "an attribute needs a name");
        uint16_t type;
        if (!TypeFromSuffix(suffix, type)) return UnknownType(where, name, suffix);
        std::u16string_view wide;
        if (!Utf16(name, m_attributeName, wide)) return Fail(where, "invalid UTF-8");
        if (!names.Insert(name)) return Fail(where, "duplicate attribute " + Quote(name));
        std::string why;
        if (!ParseValueText(type, valueText, m_value, why))
            return Fail(InBuffer(valueText.data()) ? valueText.data() : where, "attribute " + Quote(name) + ": " + why);
        data.Append(wide, m_value.View());
        return S_OK;
    }

    // Converts text into scratch (which only grows) and views the result.
    static bool Utf16(std::string_view text, std::u16string& scratch, std::u16string_view& out)
    {
        if (scratch.size() < text.size()) scratch.resize(std::max(text.size(), 2 * scratch.size()));
        const size_t length = DecodeUtf8(text, scratch.data());
        if (length == kInvalidUtf8) return false;
        out = std::u16string_view(scratch.data(), length);
        return true;
    }

    static size_t Find(std::string_view text, char c) noexcept  // short names: a loop beats memchr
    {
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == c) return i;
        return std::string_view::npos;
    }

    bool InBuffer(const char* where) const noexcept
    {
        const auto at = reinterpret_cast<uintptr_t>(where);
        const auto base = reinterpret_cast<uintptr_t>(m_buffer.data());
        return at >= base && at <= base + m_text.size();
    }

    HRESULT FailSyntax(const char* where, const char* what) { return Fail(where, what); }

    HRESULT Fail(const char* where, const std::string& message)
    {
        return FailAt(InBuffer(where) ? static_cast<size_t>(where - m_buffer.data()) : 0, message);
    }

    // Positions in the copy are positions in the text: unescaping only moves bytes within a value.
    HRESULT FailAt(size_t offset, const std::string& message)
    {
        offset = std::min(offset, m_text.size());
        const std::string_view before = m_text.substr(0, offset);
        size_t line = 1;
        for (char c : before)
            if (c == '\n') ++line;
        const size_t lineStart = before.rfind('\n');
        const size_t column =
            CountCodePoints(before.substr(lineStart == std::string_view::npos ? 0 : lineStart + 1)) + 1;
        m_error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message;
        return kInvalidData;
    }

    std::string_view m_text;  // as given, for positions
    std::string m_buffer;     // the text and kSlack NULs, parsed in place: names and values point into it
    size_t m_nul = std::string_view::npos;  // where the text holds a NUL
    std::string& m_error;
    // The parsed nodes' memory, which they keep alive. The parser lets go before any of them can
    // go: the trees it made are destroyed, if at all, by its caller after it (ParseNodeText).
    struct Arena {
        NodeArena* arena = NodeArena::Create();
        ~Arena() { arena->ReleaseBuilder(); }
        NodeArena* operator->() const noexcept { return arena; }
    } m_arena;

    std::vector<Open> m_open;         // the elements open at the current position
    std::vector<NameSet> m_nameSets;  // by level: the attribute names of the node open there
    // Scratch, reused from node to node.
    std::vector<RawAttribute> m_raw;  // the current start tag's attributes
    std::u16string m_attributeName;
    ValueBuffer m_value;
};

}  // namespace

HRESULT ParseNodeText(std::string_view text, std::vector<TreePtr>& roots, std::string& error)
{
    std::vector<TreePtr> parsed;
    const HRESULT hr = Parser(text, error).Run(parsed);
    if (hr < 0) return hr;
    roots = std::move(parsed);
    return S_OK;
}

}  // namespace cvn::nodestore
