// The node text form's reader and writer: any input either fails with a
// message and no node, or reads into trees that write out and read back into
// the same trees (names, types, every attribute's type code and bytes, the
// children in order), and writing those again gives the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvane/Nodestore.h"

namespace {

using cvn::S_OK;

constexpr uint64_t kCapacity = 64;

void Check(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "text form round trip: %s\n", what);
    std::abort();
}

struct Roots {
    std::vector<IQxNode*> nodes;
    ~Roots()
    {
        for (IQxNode* node : nodes) QxnCloseNodeHandle(node);
    }
};

HRESULT Parse(const std::string& text, Roots& roots)
{
    roots.nodes.assign(kCapacity, nullptr);
    uint64_t count = 0;
    char error[256];
    const HRESULT hr = QxnParseText(text.data(), text.size(), roots.nodes.data(), kCapacity, &count, error, sizeof error);
    roots.nodes.resize(hr == S_OK ? count : 0);
    if (hr != S_OK) Check(error[0] != '\0' || hr == static_cast<HRESULT>(0x8007007A), "a failure without a message");
    return hr;
}

HRESULT AppendText(const void* bytes, uint32_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(bytes), size);
    return S_OK;
}

std::string Write(const Roots& roots)
{
    std::string text;
    QxnSerializationContext* context = nullptr;
    Check(QxnStartSerialization(QXN_SERIALIZE_TEXT, QXN_SERIALIZE_UTF8, AppendText, &text, &context) == S_OK, "start");
    Check(QxnSerializeNodes(context, roots.nodes.data(), roots.nodes.size(), QXN_DEPTH_ALL) == S_OK, "write");
    Check(QxnFinalizeSerialization(context) == S_OK, "finalize");
    QxnCloseSerializationContext(context);
    return text;
}

std::u16string Text(HRESULT (*get)(IQxNode*, char16_t*, uint32_t*), IQxNode* node)
{
    uint32_t size = 0;
    get(node, nullptr, &size);
    std::u16string text(size, u'\0');
    if (size && get(node, text.data(), &size) != S_OK) text.clear();
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

HRESULT OwnName(IQxNode* node, char16_t* buffer, uint32_t* size) { return QxnGetNodeName(node, QXN_NAME_OWN, buffer, size); }

std::vector<char16_t> AttributeNames(IQxNode* node)
{
    uint32_t size = 0;
    QxnGetAttributeNames(node, nullptr, &size);
    std::vector<char16_t> names(size);
    if (size) Check(QxnGetAttributeNames(node, names.data(), &size) == S_OK, "attribute names");
    return names;
}

std::string RawAttribute(IQxNode* node, const char16_t* name, uint32_t& type)
{
    uint32_t size = 0;
    HRESULT hr = QxnGetAttribute(node, name, nullptr, nullptr, &size, &type);
    std::string bytes(size, '\0');
    if (hr == static_cast<HRESULT>(0x8007007A)) hr = QxnGetAttribute(node, name, nullptr, bytes.data(), &size, &type);
    Check(hr == S_OK, "an attribute that was listed does not read");
    return bytes;
}

void Same(IQxNode* a, IQxNode* b, int depth)
{
    Check(depth < 2000, "deeper than the reader allows");
    Check(Text(OwnName, a) == Text(OwnName, b), "a name changed");
    Check(Text(QxnGetNodeType, a) == Text(QxnGetNodeType, b), "a type changed");
    const std::vector<char16_t> names = AttributeNames(a);
    Check(names == AttributeNames(b), "the attribute names changed");
    for (size_t at = 0; at < names.size() && names[at] != u'\0'; at += std::char_traits<char16_t>::length(&names[at]) + 1) {
        uint32_t typeA = 0, typeB = 0;
        Check(RawAttribute(a, &names[at], typeA) == RawAttribute(b, &names[at], typeB), "an attribute's bytes changed");
        Check(typeA == typeB, "an attribute's type changed");
    }
    uint64_t countA = 0, countB = 0;
    QxnGetChildCount(a, &countA);
    QxnGetChildCount(b, &countB);
    Check(countA == countB, "the children changed");
    for (uint64_t i = 0; i < countA; ++i) {
        IQxNode* childA = nullptr;
        IQxNode* childB = nullptr;
        Check(QxnGetChildByIndex(a, i, &childA) == S_OK && QxnGetChildByIndex(b, i, &childB) == S_OK, "a child");
        Same(childA, childB, depth + 1);
        QxnCloseNodeHandle(childA);
        QxnCloseNodeHandle(childB);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    Roots first;
    if (Parse(input, first) != S_OK) return 0;
    const std::string written = Write(first);
    Roots second;
    if (Parse(written, second) != S_OK) {
        std::fprintf(stderr, "what was written:\n%s\n", written.c_str());
        Check(false, "what the writer wrote does not read back");
    }
    Check(first.nodes.size() == second.nodes.size(), "the number of roots changed");
    for (size_t i = 0; i < first.nodes.size(); ++i) Same(first.nodes[i], second.nodes[i], 0);
    Check(Write(second) == written, "writing again gives other text");
    return 0;
}
