// A host written only from the module's slot tables: it loads libcorvane.so
// with dlopen and calls the module object through raw vtable slots, without
// the project's interface headers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using Hr = int32_t;
struct Guid {
    uint32_t d1;
    uint16_t d2, d3;
    uint8_t d4[8];
};

// Slots of the module interface: AddRef, Release, QueryInterface, Initialize,
// Terminate, Lock, Unlock, IsInUse, CreateInstance.
using AddRefFn = uint32_t (*)(void*);
using QueryFn = Hr (*)(void*, const Guid*, void**);
using PlainFn = Hr (*)(void*);
using IsInUseFn = Hr (*)(void*, int32_t*);
using CreateFn = Hr (*)(void*, const Guid*, const Guid*, void**);

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
    FILE* pipe = popen("nm -D --defined-only " CORVANE_BIN_DIR "/libcorvane.so", "r");
    ASSERT_NE(pipe, nullptr);
    std::string symbols;
    char line[512];
    while (fgets(line, sizeof(line), pipe)) {
        std::string text(line);
        const size_t space = text.rfind(' ');
        std::string name = text.substr(space + 1);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        symbols += name + ";";
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, "GetComponentsModuleObject;");
}

TEST_F(ModuleExport, SlotsBehaveAsTheTableSays)
{
    EXPECT_EQ(static_cast<uint32_t>(m_get(nullptr)), 0x80070057u);
    EXPECT_EQ(Slot<AddRefFn>(m_module, 0)(m_module), 0xFFFFFFFFu);
    EXPECT_EQ(Slot<AddRefFn>(m_module, 1)(m_module), 0xFFFFFFFFu);

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
    EXPECT_EQ(Slot<AddRefFn>(m_module, 5)(m_module), 1u);  // Lock
    EXPECT_TRUE(InUse());
    EXPECT_EQ(Slot<AddRefFn>(m_module, 6)(m_module), 0u);  // Unlock
    EXPECT_FALSE(InUse());

    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(static_cast<uint32_t>(Slot<CreateFn>(m_module, 8)(m_module, &unknownIid, &moduleIid, &object)),
              0x80040154u);
    EXPECT_FALSE(InUse()) << "an unknown class creates nothing";
    EXPECT_EQ(Slot<PlainFn>(m_module, 4)(m_module), 0);  // Terminate
}

}  // namespace
