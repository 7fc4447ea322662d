// QxNodePtr: the node text form, read and written.
#include <memory>
#include <new>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "platform/nodestore/TextDepth.h"

namespace cvn {

namespace {

constexpr uint64_t kFirstParseCapacity = 8;
constexpr uint32_t kParseErrorSize = 512;

// Parses into owned nodes; a malformed text throws 0x8007000D with the parser's message.
std::vector<QxNodePtr> ParseNodes(std::string_view text)
{
    uint64_t capacity = kFirstParseCapacity;
    for (;;) {
        std::vector<IQxNode*> handles(capacity, nullptr);
        uint64_t count = 0;
        char error[kParseErrorSize] = {};
        const HRESULT hr = QxnParseText(text.data(), text.size(), handles.data(), capacity, &count, error, sizeof error);
        if (hr == kHrInsufficientBuffer && count > capacity) {
            capacity = count;
            continue;
        }
        // Own whatever was handed out before anything else can throw.
        std::vector<QxNodePtr> nodes(handles.size());
        for (size_t i = 0; i < handles.size(); ++i) nodes[i] = QxNodePtr(handles[i], QxNodePtr::Attach{});
        error[kParseErrorSize - 1] = '\0';
        if (hr == kHrInvalidData) ThrowHrWithDescription(hr, error[0] ? error : "Malformed node text");
        ThrowIfFailed(hr);
        nodes.resize(count < capacity ? count : capacity);
        return nodes;
    }
}

struct TextSink {
    std::string text;
};

HRESULT AppendBytes(const void* bytes, uint32_t byteCount, void* context)
{
    try {
        static_cast<TextSink*>(context)->text.append(static_cast<const char*>(bytes), byteCount);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

struct SerializationCloser {
    void operator()(QxnSerializationContext* context) const noexcept { QxnCloseSerializationContext(context); }
};

}  // namespace

QxNodePtr QxNodePtr::Parse(std::string_view text)
{
    std::vector<QxNodePtr> nodes = ParseNodes(text);
    if (nodes.size() != 1)
        ThrowHrWithDescription(kHrInvalidData, "Node text holds " + std::to_string(nodes.size()) +
                                                   " top-level nodes where one is expected");
    return std::move(nodes.front());
}

std::vector<QxNodePtr> QxNodePtr::ParseAll(std::string_view text)
{
    return ParseNodes(text);
}

std::string QxNodePtr::ToText(int32_t depth, uint32_t flags) const
{
    IQxNode* node = ThrowIfNull(m_node);
    TextSink sink;
    QxnSerializationContext* raw = nullptr;
    ThrowIfFailed(QxnStartSerialization(QXN_SERIALIZE_TEXT, flags, &AppendBytes, &sink, &raw));
    const std::unique_ptr<QxnSerializationContext, SerializationCloser> context(raw);
    const HRESULT hr = QxnSerializeNodes(context.get(), &node, 1, depth);
    if (hr == kHrInvalidData)
        ThrowHrWithDescription(hr, "Node tree nested deeper than " + std::to_string(nodestore::kMaxTextDepth) +
                                       " levels, the most node text may hold");
    ThrowIfFailed(hr);
    ThrowIfFailed(QxnFinalizeSerialization(context.get()));
    return std::move(sink.text);
}

}  // namespace cvn
