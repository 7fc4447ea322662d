// The gate's entry: dispatch by request type, failures answered inside the
// response, the two requests the meta info provider answers, configuration.
#include <gtest/gtest.h>

#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using GateDispatch = GateTest;

TEST_F(GateDispatch, UnknownRequestTypeIsAnsweredAndLoggedOnce)
{
    ASSERT_EQ(MakeGate(), S_OK);
    LogCapture log;
    const QxNodePtr response = Process(R"(<FetchEverythingRequest q:name="Mine" Secret="x"/>)");
    ASSERT_TRUE(response);
    EXPECT_EQ(response.GetName(), "Mine");
    EXPECT_EQ(response.GetType(), "");
    EXPECT_EQ(static_cast<uint32_t>(Code(response)), 0x80040513u);
    EXPECT_EQ(Text(response, "ErrorSerialized").rfind("0x80040513 ", 0), 0u) << Text(response, "ErrorSerialized");
    EXPECT_EQ(log.Count("Unknown request: "), 1u);
    EXPECT_EQ(log.Count("| ERR  |"), log.Count("Unknown request: ")) << "no other ERR line";

    // The gate keeps serving.
    const QxNodePtr next = Process(R"(<FreeCookieRequest q:name="Free"/>)");
    EXPECT_EQ(Code(next), S_OK);
    EXPECT_FALSE(next.HasAttribute("ErrorSerialized"));
    EXPECT_EQ(next.GetChildCount(), 0u);
}

TEST_F(GateDispatch, NullArgumentsFailWithoutTouchingTheResponse)
{
    ASSERT_EQ(MakeGate(), S_OK);
    IQxNode* const marker = reinterpret_cast<IQxNode*>(0x1234);
    IQxNode* response = marker;
    EXPECT_EQ(m_processor->ProcessRequest(nullptr, &response), E_POINTER);
    EXPECT_EQ(response, marker);
    const QxNodePtr request = QxNodePtr::Parse("<FreeCookieRequest/>");
    EXPECT_EQ(m_processor->ProcessRequest(request.Get(), nullptr), E_POINTER);
}

TEST_F(GateDispatch, RetrieveMethodCopiesTheProvidersAnswer)
{
    ASSERT_EQ(MakeGate(), S_OK);
    const QxNodePtr response = Process(R"(
        <GetRetrieveMethodRequest q:name="Method" RetrieveMethod:i32="0">
          <ConditionsRoot q:name="Conditions"/>
        </GetRetrieveMethodRequest>)");
    EXPECT_EQ(response.GetName(), "Method");
    EXPECT_EQ(response.GetType(), "");
    EXPECT_EQ(response.GetChildCount(), 0u);
    EXPECT_EQ(Int(response, "RetrieveMethod"), 2);
    EXPECT_EQ(Text(response, "Reason"), "scripted");
    // The dispatch writes its own code over the copied one.
    EXPECT_EQ(Code(response), S_OK);
    ASSERT_EQ(m_metaInfo->methodRequests.size(), 1u);
    EXPECT_NE(m_metaInfo->methodRequests[0].find("ConditionsRoot"), std::string::npos);

    m_metaInfo->methodFailure = E_ACCESSDENIED;
    const QxNodePtr failed = Process("<GetRetrieveMethodRequest/>");
    EXPECT_EQ(Code(failed), E_ACCESSDENIED);
    EXPECT_TRUE(failed.HasAttribute("ErrorSerialized"));
    EXPECT_FALSE(failed.HasAttribute("RetrieveMethod"));
}

TEST_F(GateDispatch, TimeRangeAsksWithTheCallersOffset)
{
    ASSERT_EQ(MakeGate(), S_OK);
    const QxNodePtr plain = Process(R"(<RetrieveTimeRangeRequest q:name="Range"/>)");
    const QxNodePtr shifted = Process(R"(<RetrieveTimeRangeRequest TimeZoneOffsetSec:i32="-7200"/>)");
    EXPECT_EQ(m_metaInfo->availableOffsets, (std::vector<int32_t>{0, -7200}));
    ASSERT_EQ(plain.GetChildCount(), 1u);
    EXPECT_EQ(plain.GetChild(uint64_t{0}).GetName(), "TimeRange");
    EXPECT_EQ(Text(plain.GetChild(uint64_t{0}), "TimeFrom"), "2020-01-01T00:00:00Z");
    EXPECT_EQ(Code(plain), S_OK);
    EXPECT_EQ(plain.GetType(), "");

    LogCapture log;
    m_metaInfo->availableFailure = E_FAIL;
    const QxNodePtr failed = Process("<RetrieveTimeRangeRequest/>");
    EXPECT_EQ(Code(failed), E_FAIL);
    EXPECT_EQ(failed.GetChildCount(), 0u);
    EXPECT_EQ(log.Count("Corvane::CCorvaneGate::RetrieveTimeRangeRequest failed: 0x80004005"), 1u);
}

TEST_F(GateDispatch, DataRequestIsTheSameAsCountersRequest)
{
    ASSERT_EQ(MakeGate(), S_OK);
    const QxNodePtr first = Process(R"(<RetrieveCountersDataRequest q:name="D"><RetrieveCountersSubRequest q:name="X"/>
                                       </RetrieveCountersDataRequest>)");
    EXPECT_EQ(first.GetType(), "RetrieveCountersResponse");
    EXPECT_EQ(Status(first), 0);
    EXPECT_EQ(SubStatus(first, "X"), 0);
    script->Finish("X", 4);
    const QxNodePtr done = Process(CookieRequest("RetrieveCountersDataRequest", TokenOf(first)));
    EXPECT_EQ(Status(done), 1);
    EXPECT_EQ(SubCount(done, "X"), 4);
    EXPECT_EQ(Gate().RegisteredContextCount(), 0u);
}

// Each required key, in the order the gate reads them; removing one fails with 0x80070490.
TEST_F(GateDispatch, MissingConfigurationKeysOrAnUnknownProviderFailConfigure)
{
    const char* const keys[] = {"DataSourceMapping", "RetrieveCounters", "MetaInfoProviderNameInstance",
                                "ReportingSettingsCfgPath", "TtlRequest", "GarbageCollectorRoutineInterval"};
    for (const char* key : keys) {
        SCOPED_TRACE(key);
        QxNodePtr configuration = QxNodePtr::Parse(kGateConfiguration);
        if (QxNodePtr child = configuration.GetChild(key, false)) {
            configuration.RemoveChild(child);
        } else {
            configuration.DeleteAttribute(key, true);
        }
        LogCapture log;
        ComPtr<IComponentWithShutdown> gate;
        ASSERT_EQ(ModuleObject::Instance().CreateInstance(&Corvane::CLSID_CorvaneGate,
                                                          &IComponentWithShutdown::kIid, gate.PutVoid()),
                  S_OK);
        ComPtr<IConfigurableComponent> configurable;
        ASSERT_EQ(gate.As(configurable), S_OK);
        EXPECT_EQ(configurable->Configure(configuration.Get()), kHrNotFound);
        EXPECT_EQ(log.Count("Corvane::CCorvaneGate::Configure failed: 0x80070490"), 1u);
        // The failure guard shut the gate down: releasing it leaves no worker holding it.
    }
    QxNodePtr configuration = QxNodePtr::Parse(kGateConfiguration);
    configuration.SetAttribute("MetaInfoProviderNameInstance", "Nobody.Here");
    EXPECT_EQ(MakeGate(configuration.ToText()), kHrNotFound) << "an unknown meta info provider";
    ComPtr<IConfigurableComponent> gate;
    ASSERT_EQ(ModuleObject::Instance().CreateInstance(&Corvane::CLSID_CorvaneGate, &IConfigurableComponent::kIid,
                                                      gate.PutVoid()),
              S_OK);
    EXPECT_EQ(gate->Configure(nullptr), E_POINTER);
}

TEST_F(GateDispatch, ShutdownTwiceAndReconfigure)
{
    ASSERT_EQ(MakeGate(), S_OK);
    EXPECT_EQ(m_gate->Shutdown(), S_OK);
    EXPECT_EQ(m_gate->Shutdown(), S_OK);
    EXPECT_EQ(Reconfigure(), S_OK);
    EXPECT_EQ(Reconfigure(), S_OK);
}

}  // namespace
}  // namespace cvn::test
