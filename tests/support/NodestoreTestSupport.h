// Node library test helpers: owning handles, text fixtures, serialization into a string and reads
// through the growth protocol. Thread safety: as the node library (Nodestore.h).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/Nodestore.h"

namespace nodestore_test {

using cvn::E_INVALIDARG;
using cvn::E_POINTER;
using cvn::kHrInsufficientBuffer;
using cvn::kHrInvalidData;
using cvn::kHrNotFound;
using cvn::S_OK;

struct HandleCloser {
    void operator()(IQxNode* node) const { EXPECT_EQ(QxnCloseNodeHandle(node), S_OK); }
};
/// One node handle, closed when it goes.
using Handle = std::unique_ptr<IQxNode, HandleCloser>;

/// The node a C API call hands out through its last argument; the call must succeed.
template <class Call, class... Args>
Handle Out(Call call, Args... args)
{
    IQxNode* node = nullptr;
    EXPECT_EQ(call(args..., &node), S_OK);
    return Handle(node);
}
inline Handle Create(const char16_t* name = nullptr, const char16_t* type = nullptr)
{
    return Out(QxnCreateNode, name, type);
}
inline Handle Duplicate(IQxNode* node) { return Out(QxnDuplicateNodeHandle, node); }
inline Handle Child(IQxNode* node, uint64_t index) { return Out(QxnGetChildByIndex, node, index); }
inline Handle Parent(IQxNode* node) { return Out(QxnGetParent, node); }

inline uint64_t ChildCount(IQxNode* node)
{
    uint64_t count = 0;
    EXPECT_EQ(QxnGetChildCount(node, &count), S_OK);
    return count;
}

/// Every top-level node of the text; a parse failure is a test failure.
inline std::vector<Handle> ParseAll(std::string_view text)
{
    std::vector<IQxNode*> nodes(16);
    uint64_t count = 0;
    char error[512];
    const HRESULT hr = QxnParseText(text.data(), text.size(), nodes.data(), nodes.size(), &count, error, sizeof error);
    EXPECT_EQ(hr, S_OK) << error;
    std::vector<Handle> handles;
    for (uint64_t i = 0; hr == S_OK && i < count; ++i) handles.emplace_back(nodes[i]);
    return handles;
}

/// The one node of a fixture.
inline Handle Parse(std::string_view text)
{
    auto nodes = ParseAll(text);
    EXPECT_EQ(nodes.size(), 1u) << text;
    return nodes.empty() ? Handle() : std::move(nodes[0]);
}

/// The calls AppendBytes took on this thread: a long text must reach it in several.
inline thread_local int t_appendCalls = 0;

inline HRESULT AppendBytes(const void* bytes, uint32_t count, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(bytes), count);
    ++t_appendCalls;
    return S_OK;
}

/// The serialized text (type 1) of nodes; flags 0x101 give indented UTF-8.
inline std::string Serialize(const std::vector<IQxNode*>& nodes, int32_t depth = QXN_DEPTH_ALL, uint32_t flags = 0x101)
{
    std::string out;
    QxnSerializationContext* context = nullptr;
    EXPECT_EQ(QxnStartSerialization(QXN_SERIALIZE_TEXT, flags, AppendBytes, &out, &context), S_OK);
    EXPECT_EQ(QxnSerializeNodes(context, nodes.data(), nodes.size(), depth), S_OK);
    EXPECT_EQ(QxnFinalizeSerialization(context), S_OK);
    EXPECT_EQ(QxnCloseSerializationContext(context), S_OK);
    return out;
}
inline std::string Serialize(IQxNode* node, int32_t depth = QXN_DEPTH_ALL, uint32_t flags = 0x101)
{
    return Serialize(std::vector<IQxNode*>{node}, depth, flags);
}

/// A string read the way the module reads one: a 128-unit buffer first, then the reported size.
template <class Read>
std::u16string ReadString(Read read, HRESULT* result = nullptr)
{
    std::u16string buffer(128, u'\0');
    uint32_t size = 128;
    HRESULT hr = read(buffer.data(), &size);
    while (hr == kHrInsufficientBuffer && size > buffer.size()) {
        buffer.resize(size);
        hr = read(buffer.data(), &size);
    }
    if (result) *result = hr;
    else EXPECT_EQ(hr, S_OK);
    return hr == S_OK && size ? buffer.substr(0, size - 1) : std::u16string();
}

inline std::u16string Name(IQxNode* node, uint32_t kind = QXN_NAME_OWN)
{
    return ReadString([&](char16_t* b, uint32_t* s) { return QxnGetNodeName(node, kind, b, s); });
}
inline std::u16string Type(IQxNode* node)
{
    return ReadString([&](char16_t* b, uint32_t* s) { return QxnGetNodeType(node, b, s); });
}

/// An attribute read as a string (type 2); sizes in bytes.
inline std::u16string AttributeText(IQxNode* node, const char16_t* name, HRESULT* result = nullptr)
{
    const uint16_t type = QXN_TYPE_STRING;
    return ReadString(
        [&](char16_t* b, uint32_t* s) {
            uint32_t bytes = *s * 2;
            const HRESULT hr = QxnGetAttribute(node, name, &type, b, &bytes, nullptr);
            *s = bytes / 2;
            return hr;
        },
        result);
}

/// The stored type and bytes of an attribute.
struct RawValue {
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
    bool operator==(const RawValue&) const = default;
};

inline RawValue Raw(IQxNode* node, const char16_t* name, const uint16_t* requested = nullptr, HRESULT* result = nullptr)
{
    RawValue value;
    uint32_t size = 0;
    HRESULT hr = QxnGetAttribute(node, name, requested, nullptr, &size, &value.type);
    if (hr == kHrInsufficientBuffer) {
        value.bytes.resize(size);
        hr = QxnGetAttribute(node, name, requested, value.bytes.data(), &size, &value.type);
    }
    if (result) *result = hr;
    else EXPECT_EQ(hr, S_OK);
    return value;
}

template <class T>
HRESULT Set(IQxNode* node, const char16_t* name, uint16_t type, const T& value)
{
    return QxnSetAttribute(node, name, type, &value, sizeof value);
}

inline HRESULT SetString(IQxNode* node, const char16_t* name, std::u16string_view text)
{
    std::u16string buffer(text);
    return QxnSetAttribute(node, name, QXN_TYPE_STRING, buffer.c_str(), static_cast<uint32_t>((buffer.size() + 1) * 2));
}

}  // namespace nodestore_test
