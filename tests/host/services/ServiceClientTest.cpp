// The service client: proxies to services registered in the host by URI.
#include <gtest/gtest.h>

#include "tests/support/HostTestSupport.h"
#include "host/services/ServiceClient.h"

namespace cvn::host::test {
namespace {

// A service that answers each request with a response named like it and a "Served" count.
class EchoService : public Implements<IServiceProxy> {
public:
    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override
    try {
        const QxNodePtr answer = QxNodePtr::Create(QxNodePtr(request).GetName(), "Response");
        answer.SetAttribute("Served", ++m_served);
        *response = QxNodePtr(answer).Detach();
        return S_OK;
    }
    CV_CATCH_RETURN("EchoService::ProcessRequest")

private:
    int32_t m_served = 0;
};

class ServiceClientTest : public ::testing::Test {
protected:
    ComPtr<CComponentObject<CServiceClient>> m_client = CreateComponent<CServiceClient>();
    ComPtr<CComponentObject<EchoService>> m_service = CreateComponent<EchoService>();
};

TEST_F(ServiceClientTest, ProxyByUriReachesTheRegisteredService)
{
    m_client->RegisterService("Service.QueriesProcessor", m_service.Get());
    ComPtr<IServiceProxy> proxy;
    ASSERT_EQ(S_OK, m_client->CreateProxy(u"Service.QueriesProcessor", 0, &IServiceProxy::kIid, proxy.PutVoid()));

    const QxNodePtr request = Node(R"(<nr><Request q:name="Poll"/></nr>)");
    QxNodePtr response;
    ASSERT_EQ(S_OK, proxy->ProcessRequest(request.Get(), response.Reset()));
    EXPECT_EQ("Poll", response.GetName());
    EXPECT_EQ(1, response.GetRequiredAttribute<int32_t>("Served"));
}

TEST_F(ServiceClientTest, UnknownUriAndMissingInterfaceAreTold)
{
    m_client->RegisterService("Service.DatabaseManagementGate", m_service.Get());
    void* proxy = reinterpret_cast<void*>(1);
    EXPECT_EQ(kHrNotFound, m_client->CreateProxy(u"Service.Unknown", 0, &IServiceProxy::kIid, &proxy));
    EXPECT_EQ(nullptr, proxy);
    EXPECT_EQ(E_NOINTERFACE,
              m_client->CreateProxy(u"Service.DatabaseManagementGate", 0, &IConfigStorage::kIid, &proxy));
    EXPECT_EQ(nullptr, proxy);
    EXPECT_EQ(E_POINTER, m_client->CreateProxy(nullptr, 0, &IServiceProxy::kIid, &proxy));
}

TEST_F(ServiceClientTest, RegistrationRefusesTakenAndEmptyUrisAndUnregisterForgets)
{
    m_client->RegisterService("Service.A", m_service.Get());
    EXPECT_EQ(HResultFromWin32(183), ThrownBy([&] { m_client->RegisterService("Service.A", m_service.Get()); }).code);
    EXPECT_THROW(m_client->RegisterService("", m_service.Get()), HRX);

    ComPtr<IServiceProxy> proxy;
    ASSERT_EQ(S_OK, m_client->CreateProxy(u"Service.A", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    m_client->UnregisterService("Service.A");
    EXPECT_EQ(kHrNotFound, m_client->CreateProxy(u"Service.A", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    EXPECT_THROW(m_client->UnregisterService("Service.A"), HRX);
}

}  // namespace
}  // namespace cvn::host::test
