/* Basic types shared by every binary of the project: result codes, GUIDs.
 * Plain C so that a host written in C can include the public headers.
 * Thread safety: constants and pure functions only. */
#ifndef CORVANE_PLATFORM_H
#define CORVANE_PLATFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef int32_t BOOL;

typedef struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

#define CV_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstring>
#include <functional>

inline constexpr bool operator==(const GUID& a, const GUID& b) noexcept
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

inline constexpr bool operator<(const GUID& a, const GUID& b) noexcept
{
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
    return false;
}

template <>
struct std::hash<GUID> {
    size_t operator()(const GUID& g) const noexcept
    {
        uint64_t a, b;
        std::memcpy(&a, &g, 8);
        std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
        return std::hash<uint64_t>()(a * 0x9E3779B97F4A7C15ULL ^ b);
    }
};

namespace cvn {

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
inline constexpr HRESULT E_ILLEGAL_METHOD_CALL = static_cast<HRESULT>(0x8000000E);

inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_NO_TOKEN = 1008;
inline constexpr uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr uint32_t RPC_S_UUID_NO_ADDRESS = 1739;
inline constexpr uint32_t RPC_S_CALL_CANCELLED = 1818;
inline constexpr uint32_t RPC_S_UUID_LOCAL_ONLY = 1824;

inline constexpr HRESULT HResultFromWin32(uint32_t error) noexcept
{
    return error == 0 ? 0 : static_cast<HRESULT>((error & 0x0000FFFFu) | (7u << 16) | 0x80000000u);
}

inline constexpr bool Succeeded(HRESULT hr) noexcept { return hr >= 0; }
inline constexpr bool Failed(HRESULT hr) noexcept { return hr < 0; }

/// The not-found code that every "missing required" read answers.
inline constexpr HRESULT kHrNotFound = HResultFromWin32(ERROR_NOT_FOUND);          // 0x80070490
inline constexpr HRESULT kHrInvalidData = HResultFromWin32(ERROR_INVALID_DATA);    // 0x8007000D
inline constexpr HRESULT kHrInsufficientBuffer = HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);  // 0x8007007A
inline constexpr HRESULT kHrAlreadyExists = HResultFromWin32(ERROR_ALREADY_EXISTS);          // 0x800700B7

/// Builds a GUID constant from its text parts: MakeGuid(0x51c3fba2, 0x85fe, 0x436b, 0xa0ff, 0x1c61a5c0c585).
inline constexpr GUID MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, uint16_t d4, uint64_t d5) noexcept
{
    return GUID{d1,
                d2,
                d3,
                {static_cast<uint8_t>(d4 >> 8), static_cast<uint8_t>(d4), static_cast<uint8_t>(d5 >> 40),
                 static_cast<uint8_t>(d5 >> 32), static_cast<uint8_t>(d5 >> 24), static_cast<uint8_t>(d5 >> 16),
                 static_cast<uint8_t>(d5 >> 8), static_cast<uint8_t>(d5)}};
}

}  // namespace cvn
#endif

#endif
