// UTF-8 <-> UTF-16 conversion (see Utf.h).
#include "platform/nodestore/Utf.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cvn::nodestore {

size_t Length16(const char16_t* text) noexcept
{
    if (!text) return 0;
    const char16_t* end = text;
    while (*end) ++end;
    return static_cast<size_t>(end - text);
}

void AppendUtf8(std::string& out, std::u16string_view text)
{
    const size_t start = out.size();
    out.resize(start + text.size() * 3);  // the most a unit can take
    auto* p = reinterpret_cast<unsigned char*>(out.data() + start);
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const char32_t c = text[i++];
        if (c < 0x80) {
            *p++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xDC00 && i < n && text[i] >= 0xDC00 && text[i] < 0xE000) {
            const char32_t cp = 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
            *p++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
            *p++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else {  // the rest of the BMP, and lone surrogates
            *p++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(reinterpret_cast<char*>(p) - out.data()));
}

size_t DecodeUtf8From(std::string_view text, char16_t* out, size_t start) noexcept
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    char16_t* p = out + start;
    size_t i = start;
    auto cont = [&](size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
    while (i < n) {
#if defined(__SSE2__)
        // Eight ASCII bytes at a time, widened to eight units.
        while (i + 8 <= n) {
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i));
            if (_mm_movemask_epi8(bytes) & 0xFF) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
            i += 8;
            p += 8;
        }
#endif
        while (i < n && s[i] < 0x80) *p++ = s[i++];  // runs of ASCII, the common case
        if (i == n) break;
        const unsigned char b = s[i];
        if (b < 0x80) {
            *p++ = b;
            ++i;
        } else if (b >= 0xC2 && b < 0xE0 && cont(1)) {
            *p++ = static_cast<char16_t>(((b & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else if (b >= 0xE0 && b < 0xF0 && cont(1) && cont(2) && (b != 0xE0 || s[i + 1] >= 0xA0)) {
            *p++ = static_cast<char16_t>(((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
            i += 3;
        } else if (b >= 0xF0 && b < 0xF5 && cont(1) && cont(2) && cont(3) && (b != 0xF0 || s[i + 1] >= 0x90) &&
                   (b != 0xF4 || s[i + 1] < 0x90)) {
            const char32_t cp =
                ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
            *p++ = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            *p++ = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            i += 4;
        } else {
            return kInvalidUtf8;
        }
    }
    return static_cast<size_t>(p - out);
}

bool AppendUtf16(std::u16string& out, std::string_view text)
{
    const size_t start = out.size();
    out.resize(start + text.size());
    const size_t length = DecodeUtf8(text, out.data() + start);
    out.resize(length == kInvalidUtf8 ? start : start + length);
    return length != kInvalidUtf8;
}

size_t CountCodePoints(std::string_view text) noexcept
{
    size_t count = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    return count;
}

}  // namespace cvn::nodestore
