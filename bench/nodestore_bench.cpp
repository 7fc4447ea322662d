// Node library against pugixml on the same 100,000-node document: build,
// deep clone, serialize (indented UTF-8) and parse, each pair in the same run,
// then the ratios nodestore / pugixml of the median times. Goals: build and
// clone within 2x, serialize and parse within 3x. The repetitions of all run
// in random order, so that a burst of other work on a shared machine falls on
// both sides of a ratio rather than on one.
//
// Freeing the trees is left out of the timing on both sides. The heap keeps
// freed memory (mallopt below) so that both sides measure their own work, as
// in a long-running host, rather than the kernel handing out fresh pages,
// which on virtual machines can cost more than the work itself; pass
// --fresh-pages to keep glibc's defaults.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "bench/MedianReporter.h"
#include "corvane/Nodestore.h"

namespace {

constexpr int kSections = 100;
constexpr int kLeavesPerSection = 999;  // 1 + 100 + 99,900 = 100,001 nodes
constexpr unsigned kParseFlags = (pugi::parse_default & ~pugi::parse_wconv_attribute) | pugi::parse_fragment;

// Names are made before timing, for both sides.
struct Names {
    std::vector<std::string> narrow;
    std::vector<std::u16string> wide;
    Names()
    {
        for (int i = 0; i < kLeavesPerSection || i < kSections; ++i) {
            narrow.push_back("item" + std::to_string(i));
            wide.emplace_back(narrow.back().begin(), narrow.back().end());
        }
    }
};
const Names& GetNames()
{
    static const Names names;
    return names;
}

const char16_t* const kColumns[] = {u"Who", u"ManagedObjectUId", u"What_Action"};
const char* const kColumnsNarrow[] = {"Who", "ManagedObjectUId", "What_Action"};

void SetAttributes(IQxNode* node, int i)
{
    const char16_t* column = kColumns[i % 3];
    uint32_t bytes = 2;
    while (column[bytes / 2 - 1]) bytes += 2;
    QxnSetAttribute(node, u"Columnn", QXN_TYPE_STRING, column, bytes);
    const int64_t count = 1000003LL * i;
    QxnSetAttribute(node, u"Count", QXN_TYPE_INT64, &count, 8);
    const int32_t code = -i;
    QxnSetAttribute(node, u"ResultCode", QXN_TYPE_INT32, &code, 4);
    const uint8_t partial = i & 1;
    QxnSetAttribute(node, u"PartialResult", QXN_TYPE_BOOL, &partial, 1);
}

IQxNode* BuildNodes()
{
    const Names& names = GetNames();
    IQxNode* root = nullptr;
    QxnCreateNode(u"root", u"Root", &root);
    SetAttributes(root, 0);
    for (int s = 0; s < kSections; ++s) {
        IQxNode* section = nullptr;
        QxnCreateNode(names.wide[s].c_str(), u"Section", &section);
        SetAttributes(section, s);
        for (int l = 0; l < kLeavesPerSection; ++l) {
            IQxNode* leaf = nullptr;
            QxnCreateNode(names.wide[l].c_str(), u"ConditionValues", &leaf);
            SetAttributes(leaf, l);
            QxnAddChild(section, leaf);
            QxnCloseNodeHandle(leaf);
        }
        QxnAddChild(root, section);
        QxnCloseNodeHandle(section);
    }
    return root;
}

void SetAttributes(pugi::xml_node node, const char* name, int i)
{
    node.append_attribute("q:name").set_value(name);
    node.append_attribute("Columnn").set_value(kColumnsNarrow[i % 3]);
    node.append_attribute("Count:i64").set_value(1000003LL * i);
    node.append_attribute("ResultCode:i32").set_value(-i);
    node.append_attribute("PartialResult:bool").set_value((i & 1) != 0);
}

void BuildPugi(pugi::xml_document& doc)
{
    const Names& names = GetNames();
    pugi::xml_node root = doc.append_child("nr").append_child("Root");
    SetAttributes(root, "root", 0);
    for (int s = 0; s < kSections; ++s) {
        pugi::xml_node section = root.append_child("Section");
        SetAttributes(section, names.narrow[s].c_str(), s);
        for (int l = 0; l < kLeavesPerSection; ++l)
            SetAttributes(section.append_child("ConditionValues"), names.narrow[l].c_str(), l);
    }
}

HRESULT Append(const void* bytes, uint32_t count, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(bytes), count);
    return 0;
}

std::string SerializeNodes(IQxNode* root)
{
    std::string out;
    out.reserve(16 << 20);
    QxnSerializationContext* context = nullptr;
    QxnStartSerialization(QXN_SERIALIZE_TEXT, QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8, Append, &out, &context);
    QxnSerializeNodes(context, &root, 1, QXN_DEPTH_ALL);
    QxnFinalizeSerialization(context);
    QxnCloseSerializationContext(context);
    return out;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// The shared inputs: one tree of each kind and the nodestore text.
struct Inputs {
    IQxNode* nodes = BuildNodes();
    pugi::xml_document pugi;
    std::string text;
    Inputs()
    {
        BuildPugi(pugi);
        text = SerializeNodes(nodes);
    }
};
Inputs& GetInputs()
{
    static Inputs inputs;
    return inputs;
}

void BuildNodestore(benchmark::State& state)
{
    for (auto _ : state) {
        IQxNode* root = BuildNodes();
        state.PauseTiming();
        QxnCloseNodeHandle(root);
        state.ResumeTiming();
    }
}

void BuildPugixml(benchmark::State& state)
{
    for (auto _ : state) {
        auto* doc = new pugi::xml_document;
        BuildPugi(*doc);
        state.PauseTiming();
        delete doc;
        state.ResumeTiming();
    }
}

void CloneNodestore(benchmark::State& state)
{
    IQxNode* source = GetInputs().nodes;
    for (auto _ : state) {
        IQxNode* clone = nullptr;
        QxnCloneNode(source, QXN_DEPTH_ALL, 0, &clone);
        state.PauseTiming();
        QxnCloseNodeHandle(clone);
        state.ResumeTiming();
    }
}

void ClonePugixml(benchmark::State& state)
{
    const pugi::xml_document& source = GetInputs().pugi;
    for (auto _ : state) {
        auto* clone = new pugi::xml_document;
        clone->reset(source);
        state.PauseTiming();
        delete clone;
        state.ResumeTiming();
    }
}

void SerializeNodestore(benchmark::State& state)
{
    IQxNode* source = GetInputs().nodes;
    for (auto _ : state) benchmark::DoNotOptimize(SerializeNodes(source));
}

void SerializePugixml(benchmark::State& state)
{
    const pugi::xml_document& source = GetInputs().pugi;
    for (auto _ : state) {
        StringWriter writer;
        writer.out.reserve(16 << 20);
        source.save(writer, "  ", pugi::format_indent, pugi::encoding_utf8);
        benchmark::DoNotOptimize(writer.out);
    }
}

void ParseNodestore(benchmark::State& state)
{
    const std::string& text = GetInputs().text;
    for (auto _ : state) {
        IQxNode* root = nullptr;
        uint64_t count = 0;
        if (QxnParseText(text.data(), text.size(), &root, 1, &count, nullptr, 0) != 0 || count != 1) {
            state.SkipWithError("parse failed");
            break;
        }
        state.PauseTiming();
        QxnCloseNodeHandle(root);
        state.ResumeTiming();
    }
}

void ParsePugixml(benchmark::State& state)
{
    const std::string& text = GetInputs().text;
    for (auto _ : state) {
        auto* doc = new pugi::xml_document;
        if (!doc->load_buffer(text.data(), text.size(), kParseFlags, pugi::encoding_utf8)) {
            state.SkipWithError("parse failed");
            break;
        }
        state.PauseTiming();
        delete doc;
        state.ResumeTiming();
    }
}

// One ratio per operation, of the median CPU times.
void PrintRatios(const cvn::bench::MedianReporter& reporter)
{
    std::printf("\nnodestore / pugixml on %d nodes (median CPU time):\n", 1 + kSections * (1 + kLeavesPerSection));
    for (const auto& [operation, goal] : {std::pair{"build", 2.0}, {"clone", 2.0}, {"serialize", 3.0}, {"parse", 3.0}}) {
        const std::optional<double> ours = reporter.Median(std::string(operation) + "/nodestore");
        const std::optional<double> theirs = reporter.Median(std::string(operation) + "/pugixml");
        if (!ours || !theirs) continue;
        const double ratio = *ours / *theirs;
        std::printf("  %-9s %6.2fx  (goal %.0fx: %s)\n", operation, ratio, goal, ratio <= goal ? "met" : "MISSED");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bool freshPages = false;
    for (int i = 1; i < argc; ++i) freshPages |= std::strcmp(argv[i], "--fresh-pages") == 0;
    if (!freshPages) {
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
        mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc allows
    }
    const std::pair<const char*, void (*)(benchmark::State&)> benchmarks[] = {
        {"build/nodestore", BuildNodestore},         {"build/pugixml", BuildPugixml},
        {"clone/nodestore", CloneNodestore},         {"clone/pugixml", ClonePugixml},
        {"serialize/nodestore", SerializeNodestore}, {"serialize/pugixml", SerializePugixml},
        {"parse/nodestore", ParseNodestore},         {"parse/pugixml", ParsePugixml},
    };
    for (const auto& [name, function] : benchmarks)
        benchmark::RegisterBenchmark(name, function)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3)
            ->Repetitions(5)
            ->ReportAggregatesOnly();
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    GetInputs();
    cvn::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
