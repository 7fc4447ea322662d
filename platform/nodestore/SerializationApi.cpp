// The text functions of the C API: serialization contexts that write nodes in
// the text form through a callback, and QxnParseText that reads the form back.
#include <bit>
#include <string>
#include <vector>

#include "corvane/Nodestore.h"
#include "platform/nodestore/ApiGuard.h"
#include "platform/nodestore/Node.h"
#include "platform/nodestore/TextParser.h"
#include "platform/nodestore/TextWriter.h"
#include "platform/nodestore/Utf.h"

using namespace cvn;
using namespace cvn::nodestore;

static_assert(std::endian::native == std::endian::little, "UTF-16LE output assumes a little-endian host");

struct QxnSerializationContext {
    static constexpr size_t kMaxChunk = size_t{1} << 30;

    uint32_t flags = 0;
    QxnWriteCallback callback = nullptr;
    void* callbackContext = nullptr;
    std::string pending;  // UTF-8 text not yet handed to the callback
    bool opened = false;  // "<nr>" is written
    bool finalized = false;
    HRESULT failure = S_OK;  // the callback's failure, returned from then on

    bool Indent() const noexcept { return flags & QXN_SERIALIZE_INDENT; }
    void LineEnd()
    {
        if (Indent()) pending += "\r\n";
    }
    void Open()
    {
        if (!opened) {
            pending += "<nr>";
            LineEnd();
            opened = true;
        }
    }

    HRESULT Flush()
    {
        std::string_view rest = pending;
        while (!rest.empty() && failure >= 0) {
            size_t take = std::min(rest.size(), kMaxChunk);
            while (take < rest.size() && (static_cast<unsigned char>(rest[take]) & 0xC0) == 0x80) --take;
            const std::string_view chunk = rest.substr(0, take);
            rest.remove_prefix(take);
            if (flags & QXN_SERIALIZE_UTF8) {
                failure = callback(chunk.data(), static_cast<uint32_t>(chunk.size()), callbackContext);
            } else {
                std::u16string units;
                AppendUtf16(units, chunk);  // our own UTF-8: always well formed
                failure = callback(units.data(), static_cast<uint32_t>(units.size() * 2), callbackContext);
            }
        }
        pending.clear();
        return failure < 0 ? failure : S_OK;
    }
};

extern "C" {

CV_EXPORT HRESULT QxnStartSerialization(uint32_t serializationType, uint32_t flags, QxnWriteCallback callback,
                                        void* callbackContext, QxnSerializationContext** context)
{
    if (!context) return E_POINTER;
    *context = nullptr;
    if (!callback) return E_POINTER;
    if (serializationType != QXN_SERIALIZE_TEXT || (flags & ~(QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8)))
        return E_INVALIDARG;
    return Guarded([&] {
        auto* created = new QxnSerializationContext;
        created->flags = flags;
        created->callback = callback;
        created->callbackContext = callbackContext;
        *context = created;
        return S_OK;
    });
}

CV_EXPORT HRESULT QxnSerializeNodes(QxnSerializationContext* context, IQxNode* const* nodes, uint64_t count,
                                    int32_t depth)
{
    if (!context || (!nodes && count)) return E_POINTER;
    if (depth < 0) return E_INVALIDARG;
    if (context->finalized) return E_UNEXPECTED;
    if (context->failure < 0) return context->failure;
    for (uint64_t i = 0; i < count; ++i)
        if (!nodes[i]) return E_POINTER;
    return Guarded([&] {
        context->Open();
        // The text goes to the callback in chunks while it is written.
        auto drain = [](std::string&, void* self) { return static_cast<QxnSerializationContext*>(self)->Flush() >= 0; };
        bool tooDeep = false;  // the rest is still written: a log shows what it can
        for (uint64_t i = 0; i < count; ++i) {
            const TextEnd end = AppendNodeText(context->pending, *nodes[i], depth, 1, context->Indent(), drain, context);
            if (end == TextEnd::Stopped) return context->failure;
            tooDeep = tooDeep || end == TextEnd::TooDeep;
        }
        if (context->pending.size() >= kTextChunk)
            if (const HRESULT hr = context->Flush(); hr < 0) return hr;
        return tooDeep ? kHrInvalidData : S_OK;
    });
}

CV_EXPORT HRESULT QxnFinalizeSerialization(QxnSerializationContext* context)
{
    if (!context) return E_POINTER;
    if (context->finalized) return E_UNEXPECTED;
    if (context->failure < 0) return context->failure;
    return Guarded([&] {
        context->Open();
        context->pending += "</nr>";
        context->LineEnd();
        context->finalized = true;
        return context->Flush();
    });
}

CV_EXPORT HRESULT QxnCloseSerializationContext(QxnSerializationContext* context)
{
    if (!context) return E_POINTER;
    delete context;
    return S_OK;
}

CV_EXPORT HRESULT QxnParseText(const char* text, uint64_t length, IQxNode** nodes, uint64_t capacity, uint64_t* count,
                               char* error, uint32_t errorSize)
{
    if (error && errorSize) *error = '\0';
    if (!count) return E_POINTER;
    *count = 0;
    if ((!text && length) || (!nodes && capacity)) return E_POINTER;
    return Guarded([&] {
        std::vector<TreePtr> roots;
        std::string message;
        const HRESULT hr = ParseNodeText(std::string_view(text ? text : "", length), roots, message);
        if (hr < 0) {
            if (error && errorSize) {
                size_t take = std::min<size_t>(message.size(), errorSize - 1);
                while (take > 0 && take < message.size() && (static_cast<unsigned char>(message[take]) & 0xC0) == 0x80)
                    --take;  // do not cut a character in two
                message.copy(error, take);
                error[take] = '\0';
            }
            return hr;
        }
        *count = roots.size();
        if (roots.size() > capacity) return kHrInsufficientBuffer;
        for (size_t i = 0; i < roots.size(); ++i) nodes[i] = ReleaseAsHandle(std::move(roots[i]));
        return S_OK;
    });
}

}  // extern "C"
