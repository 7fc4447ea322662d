// Hosts written only from the module's slot tables: they load libcorvane.so
// with dlopen and call the module object through raw vtable slots; the gate,
// created through it, is talked to with request nodes while scripted
// components stand in for the retrieval backend.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/NodeAccess/QxNodePtr.h"
#include "common/ServiceLayer/NamedServices.h"
#include "host/services/HostServices.h"
#include "platform/os/Uuid.h"
#include "tests/support/GateTestScripts.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn::test {
namespace {

using Hr = int32_t;
struct Guid {
    uint32_t d1;
    uint16_t d2, d3;
    uint8_t d4[8];
};

// Module object: AddRef, Release, QueryInterface, Initialize, Terminate, Lock, Unlock, IsInUse, CreateInstance.
// Gate interfaces: AddRef, Release, QueryInterface, then Configure / Shutdown / ProcessRequest.
using CountFn = uint32_t (*)(void*);  // AddRef, Release, Lock, Unlock: the new count
using QueryFn = Hr (*)(void*, const Guid*, void**);
using PlainFn = Hr (*)(void*);
using IsInUseFn = Hr (*)(void*, int32_t*);
using CreateFn = Hr (*)(void*, const Guid*, const Guid*, void**);
using ConfigureFn = Hr (*)(void*, IQxNode*);
using ProcessFn = Hr (*)(void*, IQxNode*, IQxNode**);

constexpr Guid kGateClsid = {0x87074C74, 0x6D4D, 0x4288, {0x92, 0xE8, 0xB9, 0x54, 0x78, 0x9A, 0x88, 0xBD}};
constexpr Guid kRequestProcessorIid = {0xa3a15500, 0x301b, 0x4d78, {0xb4, 0x15, 0x14, 0xe2, 0xa6, 0x73, 0x99, 0xf3}};
constexpr Guid kConfigurableIid = {0x9fd0681a, 0xa35d, 0x48ef, {0xa2, 0x26, 0xde, 0x38, 0x46, 0xe1, 0x9d, 0x38}};
constexpr Guid kShutdownIid = {0x45622f80, 0x2f68, 0x4571, {0xbc, 0xbc, 0x70, 0x65, 0x16, 0x01, 0x77, 0x1b}};

template <class Fn>
Fn Slot(void* object, int index)
{
    return reinterpret_cast<Fn>((*static_cast<void***>(object))[index]);
}

class ModuleExport : public testing::Test {
protected:
    void SetUp() override
    {
        // Never unloaded, as a host keeps it: the module's statics live until the process ends.
        m_library = dlopen(CORVANE_BIN_DIR "/libcorvane.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(m_library, nullptr) << dlerror();
        m_get = reinterpret_cast<Hr (*)(void**)>(dlsym(m_library, "GetComponentsModuleObject"));
        ASSERT_NE(m_get, nullptr);
        ASSERT_EQ(m_get(&m_module), 0);
        ASSERT_NE(m_module, nullptr);
    }
    bool InUse()
    {
        int32_t inUse = -1;
        EXPECT_EQ(Slot<IsInUseFn>(m_module, 7)(m_module, &inUse), 0);
        return inUse != 0;
    }

    void* m_library = nullptr;
    Hr (*m_get)(void**) = nullptr;
    void* m_module = nullptr;
};

TEST_F(ModuleExport, OnlyTheModuleObjectIsExported)
{
    FILE* pipe = popen("nm -D --defined-only --format=just-symbols " CORVANE_BIN_DIR "/libcorvane.so", "r");
    ASSERT_NE(pipe, nullptr);
    std::string symbols;
    for (char line[512]; fgets(line, sizeof(line), pipe);) symbols += line;
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, "GetComponentsModuleObject\n");
}

TEST_F(ModuleExport, SlotsBehaveAsTheTableSays)
{
    EXPECT_EQ(static_cast<uint32_t>(m_get(nullptr)), 0x80070057u);
    EXPECT_EQ(Slot<CountFn>(m_module, 0)(m_module), 0xFFFFFFFFu);
    EXPECT_EQ(Slot<CountFn>(m_module, 1)(m_module), 0xFFFFFFFFu);

    const Guid moduleIid = {0x989524a9, 0x625d, 0x48c8, {0xab, 0x03, 0x7c, 0x08, 0x4e, 0xb5, 0x26, 0x5d}};
    const Guid unknownIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* out = nullptr;
    EXPECT_EQ(Slot<QueryFn>(m_module, 2)(m_module, &moduleIid, &out), 0);
    EXPECT_EQ(out, m_module);
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(static_cast<uint32_t>(Slot<QueryFn>(m_module, 2)(m_module, &unknownIid, &out)), 0x80004002u);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1)) << "a failed query leaves the out pointer untouched";
    EXPECT_EQ(static_cast<uint32_t>(Slot<QueryFn>(m_module, 2)(m_module, nullptr, &out)), 0x80070057u);

    EXPECT_EQ(Slot<PlainFn>(m_module, 3)(m_module), 0);  // Initialize
    EXPECT_EQ(static_cast<uint32_t>(Slot<IsInUseFn>(m_module, 7)(m_module, nullptr)), 0x80004003u);

    EXPECT_FALSE(InUse());
    EXPECT_EQ(Slot<CountFn>(m_module, 5)(m_module), 1u);  // Lock
    EXPECT_TRUE(InUse());
    EXPECT_EQ(Slot<CountFn>(m_module, 6)(m_module), 0u);  // Unlock
    EXPECT_FALSE(InUse());

    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(static_cast<uint32_t>(Slot<CreateFn>(m_module, 8)(m_module, &unknownIid, &moduleIid, &object)),
              0x80040154u);
    EXPECT_FALSE(InUse()) << "an unknown class creates nothing";
    EXPECT_EQ(Slot<PlainFn>(m_module, 4)(m_module), 0);  // Terminate
}

constexpr std::string_view kConfiguration = R"(
<node MetaInfoProviderNameInstance="Export.MetaInfoProvider" ReportingSettingsCfgPath="\Settings\Reporting"
      TtlRequest:i64="60" GarbageCollectorRoutineInterval:i64="60">
  <node q:name="DataSourceMapping"/>
  <node q:name="RetrieveCounters" WaitDataInterval:i64="10" DispatcherFactoryNameInstance="Export.RetrieverFactory"
        MetaInfoProviderInstanceName="Export.MetaInfoProvider"/>
</node>)";

/// Entries of the module's UTF-16LE log files that hold every one of the texts.
size_t CountLogLines(std::initializer_list<std::string> texts)
{
    size_t count = 0;
    const char* dataDirectory = std::getenv("GS_General_DataDirectoryPath");
    for (const std::string& directory : {std::string(dataDirectory ? dataDirectory : ""), std::string(CORVANE_BIN_DIR)}) {
        std::ifstream file(directory + "/Logs/libcorvane.log", std::ios::binary);
        std::string text;
        for (char bytes[2]; !directory.empty() && file.read(bytes, 2);) text += bytes[1] == 0 ? bytes[0] : '?';
        // An entry starts with its date on a new line; node text continues it on lines of its own.
        for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
            do end = text.find('\n', end + 1);
            while (end != std::string::npos && end + 1 < text.size() && !std::isdigit(static_cast<unsigned char>(text[end + 1])));
            end = std::min(end, text.size());
            const std::string_view entry(text.data() + start, end - start);
            count += std::all_of(texts.begin(), texts.end(),
                                 [&](const std::string& wanted) { return entry.find(wanted) != std::string::npos; });
        }
    }
    return count;
}

// The gate made through the module's CreateInstance slot, configured, used and shut down through its slots.
TEST_F(ModuleExport, GateAnswersAnUnknownRequestThroughItsSlotsAndLogsItOnce)
{
    const auto script = std::make_shared<RetrievalScript>();
    const auto databaseGate = CreateComponent<ScriptedDatabaseGate>();
    host::HostServices services;
    services.Start({});
    WriteConfigNode(ConfigSource::ConfigServer, "\\Settings\\Reporting", QxNodePtr::Parse(R"(<node Enabled:bool="true"/>)"));
    services.ServiceClient()->RegisterService("Service.DatabaseManagementGate", databaseGate.Get());
    const auto metaInfo = CreateComponent<ScriptedMetaInfoProvider>();
    const auto factory = CreateComponent<ScriptedRetrieverFactory>(script);
    const ScopedNamedInstance metaInfoName("Export.MetaInfoProvider", metaInfo.Get());
    const ScopedNamedInstance factoryName("Export.RetrieverFactory", factory.Get());

    void* gate = nullptr;
    ASSERT_EQ(Slot<CreateFn>(m_module, 8)(m_module, &kGateClsid, &kRequestProcessorIid, &gate), 0);
    void* configurable = nullptr;
    ASSERT_EQ(Slot<QueryFn>(gate, 2)(gate, &kConfigurableIid, &configurable), 0);
    EXPECT_EQ(Slot<ConfigureFn>(configurable, 3)(configurable, QxNodePtr::Parse(kConfiguration).Get()), 0);
    Slot<CountFn>(configurable, 1)(configurable);

    char name[64];
    const GUID unique = os::NewUuid();
    std::snprintf(name, sizeof name, "Unknown%08X%04X", unique.Data1, unique.Data2);
    IQxNode* raw = nullptr;
    EXPECT_EQ(Slot<ProcessFn>(gate, 3)(gate, QxNodePtr::Create(name, "ListEverythingRequest").Get(), &raw), 0);
    const QxNodePtr response(raw, QxNodePtr::Attach{});
    ASSERT_TRUE(response);
    EXPECT_EQ(response.GetName(), name);
    EXPECT_EQ(response.GetAttributeOr<uint32_t>("ResultCode", 1), 0x80040513u);
    EXPECT_TRUE(response.HasAttribute("ErrorSerialized"));
    EXPECT_EQ(CountLogLines({"| ERR  |", "Unknown request: ", name}), 1u);

    void* withShutdown = nullptr;
    EXPECT_EQ(Slot<QueryFn>(gate, 2)(gate, &kShutdownIid, &withShutdown), 0);
    EXPECT_EQ(Slot<PlainFn>(withShutdown, 3)(withShutdown), 0);
    Slot<CountFn>(withShutdown, 1)(withShutdown);
    EXPECT_EQ(Slot<CountFn>(gate, 1)(gate), 0u);
    EXPECT_FALSE(InUse()) << "the module still counts a live object";
}

}  // namespace
}  // namespace cvn::test
