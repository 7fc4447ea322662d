// Bounded text of an answer, streamed from the serializer: the writing stops at
// the bound instead of building the whole text first.
#include "host/main/AnswerText.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"

namespace cvn::hostmain {

namespace {

// What the sink answers the serializer once the answer's bound is reached.
constexpr HRESULT kBoundReached = E_ABORT;

class BoundedSink {
public:
    BoundedSink(std::ostream& out, const TextBounds& bounds) : m_out(out), m_bounds(bounds) {}

    static HRESULT Append(const void* bytes, uint32_t count, void* context) noexcept
    {
        auto* self = static_cast<BoundedSink*>(context);
        try {
            return self->Put(std::string_view(static_cast<const char*>(bytes), count));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    /// Ends the text after the writing stopped early: the line in progress, then why.
    void Close(const std::string& reason)
    {
        std::string tail = m_pendingCr || m_lineBytes > 0 || m_lineCut ? "\r\n" : "";
        tail += "... truncated: " + reason + "\r\n";
        m_out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
        m_leftOut = true;
    }

    bool Full() const noexcept { return m_full; }
    bool LeftOut() const noexcept { return m_leftOut; }

private:
    HRESULT Put(std::string_view text)
    {
        m_chunk.clear();
        for (const char c : text) {
            if (m_full) break;
            if (m_pendingCr) {  // the line end is "\r\n"; a lone CR is text
                m_pendingCr = false;
                if (c != '\n') Take('\r');
            }
            if (c == '\r') {
                m_pendingCr = true;
            } else if (c == '\n') {
                EndLine();
            } else {
                Take(c);
            }
        }
        m_out.write(m_chunk.data(), static_cast<std::streamsize>(m_chunk.size()));
        return m_full ? kBoundReached : S_OK;
    }

    void Take(char c)
    {
        // A character is never cut in two: the rest of one begun within the bounds follows it.
        const bool continuation = (static_cast<unsigned char>(c) & 0xC0) == 0x80;
        if (m_written >= m_bounds.totalBytes && !continuation) {
            m_full = true;
            return;
        }
        if (m_lineCut || (m_lineBytes >= m_bounds.lineBytes && !continuation)) {
            m_lineCut = true;
            ++m_cutBytes;
            return;
        }
        m_chunk += c;
        ++m_lineBytes;
        ++m_written;
    }

    void EndLine()
    {
        if (m_lineCut) {
            m_chunk += " ... truncated: " + std::to_string(m_cutBytes) + " more bytes on this line";
            m_leftOut = true;
        }
        m_chunk += "\r\n";
        m_written += 2;
        m_lineBytes = 0;
        m_lineCut = false;
        m_cutBytes = 0;
    }

    std::ostream& m_out;
    const TextBounds& m_bounds;
    std::string m_chunk;  // what one call hands on
    size_t m_written = 0;
    size_t m_lineBytes = 0;
    size_t m_cutBytes = 0;
    bool m_lineCut = false;
    bool m_pendingCr = false;
    bool m_full = false;
    bool m_leftOut = false;
};

struct SerializationCloser {
    void operator()(QxnSerializationContext* context) const noexcept { QxnCloseSerializationContext(context); }
};

}  // namespace

bool WriteBoundedText(std::ostream& out, const QxNodePtr& node, const TextBounds& bounds)
{
    IQxNode* handle = ThrowIfNull(node.Get());
    BoundedSink sink(out, bounds);
    QxnSerializationContext* raw = nullptr;
    ThrowIfFailed(QxnStartSerialization(QXN_SERIALIZE_TEXT, QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8,
                                        &BoundedSink::Append, &sink, &raw));
    const std::unique_ptr<QxnSerializationContext, SerializationCloser> context(raw);
    HRESULT hr = QxnSerializeNodes(context.get(), &handle, 1, QXN_DEPTH_ALL);
    if (hr >= 0) hr = QxnFinalizeSerialization(context.get());
    if (sink.Full())
        sink.Close("the answer is longer than " + std::to_string(bounds.totalBytes) + " bytes");
    else if (hr < 0)
        sink.Close("the text form cannot hold the whole answer (" + HrToText(hr) + ")");
    return sink.LeftOut();
}

}  // namespace cvn::hostmain
