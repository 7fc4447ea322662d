// Alive objects tracker: off by default, registration from component objects,
// the WARN report with return addresses.
#include <gtest/gtest.h>

#include <regex>

#include "common/Components/ComponentObject.h"
#include "common/Components/DbgAliveObjectsTracker.h"
#include "tests/support/LogTestSupport.h"

namespace cvn {
namespace {

using test::LogTestScope;

struct ITrackedThing : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x1D2C3B4A, 0x1111, 0x2222, 0x3333, 0x444455556666);
    virtual int Value() = 0;
};

class CTrackedThing : public Implements<ITrackedThing> {
public:
    int Value() override { return 1; }
};

TEST(AliveObjectsTracker, OffByDefaultAndWhenOnReportsObjectsStillAlive)
{
    LogTestScope scope;
    AliveObjectsTracker::Instance().ReadSettings();
    EXPECT_FALSE(AliveObjectsTracker::Instance().IsEnabled());
    {
        auto untracked = CreateComponent<CTrackedThing>();
        EXPECT_EQ(AliveObjectsTracker::Instance().AliveCount(), 0u);
        ModuleObject::Instance().Terminate();
    }
    EXPECT_TRUE(scope.sink.Lines().empty());

    scope.SetSettings({{"Debug/EnableAliveObjectsTracking", "2"}, {"Debug/AliveObjectsTrackingFramesToSkip", "0"}});
    AliveObjectsTracker::Instance().ReadSettings();
    ASSERT_TRUE(AliveObjectsTracker::Instance().IsEnabled());
    {
        auto released = CreateComponent<CTrackedThing>();
    }
    ModuleObject::Instance().Terminate();
    EXPECT_TRUE(scope.sink.Lines().empty());  // everything released: nothing to say

    auto kept = CreateComponent<CTrackedThing>();
    ModuleObject::Instance().Terminate();
    const auto lines = scope.sink.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("| WARN |"), std::string::npos);
    EXPECT_NE(lines[0].find("| Alive component objects: 1\r\n"), std::string::npos) << lines[0];
    const std::regex entry(
        R"(.*\| ObjTag='CComponentObject<class [:\w{}]*CTrackedThing>::CComponentObject' Ptr=0x[0-9A-F]{16} EIPs=0x[0-9A-F]{16}(;0x[0-9A-F]{16}){0,3}\r\n)");
    EXPECT_TRUE(std::regex_match(lines[1], entry)) << lines[1];
    kept.Reset();
    scope.SetSettings({});
    AliveObjectsTracker::Instance().ReadSettings();
}

}  // namespace
}  // namespace cvn
