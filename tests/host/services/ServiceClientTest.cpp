// The service client: proxies to services registered in the host by URI.
#include <gtest/gtest.h>

#include "host/services/ServiceClient.h"
#include "tests/support/HostTestSupport.h"

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

TEST(ServiceClientTest, ProxiesReachRegisteredServicesByUriAndEveryMisuseIsTold)
{
    const auto client = CreateComponent<CServiceClient>();
    const auto service = CreateComponent<EchoService>();
    client->RegisterService("Service.A", service.Get());
    EXPECT_EQ(HResultFromWin32(183), ThrownBy([&] { client->RegisterService("Service.A", service.Get()); }).code);
    EXPECT_THROW(client->RegisterService("", service.Get()), HRX);

    ComPtr<IServiceProxy> proxy;
    ASSERT_EQ(S_OK, client->CreateProxy(u"Service.A", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    QxNodePtr response;
    ASSERT_EQ(S_OK, proxy->ProcessRequest(Tree(R"(<nr><Request q:name="Poll"/></nr>)").Get(), response.Reset()));
    EXPECT_EQ("Poll", response.GetName());
    EXPECT_EQ(1, response.GetRequiredAttribute<int32_t>("Served"));

    void* raw = reinterpret_cast<void*>(1);
    EXPECT_EQ(kHrNotFound, client->CreateProxy(u"Service.Unknown", 0, &IServiceProxy::kIid, &raw));
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(E_NOINTERFACE, client->CreateProxy(u"Service.A", 0, &IConfigStorage::kIid, &raw));
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(E_POINTER, client->CreateProxy(nullptr, 0, &IServiceProxy::kIid, &raw));

    client->UnregisterService("Service.A");
    EXPECT_EQ(kHrNotFound, client->CreateProxy(u"Service.A", 0, &IServiceProxy::kIid, proxy.PutVoid()));
    EXPECT_THROW(client->UnregisterService("Service.A"), HRX);
}

}  // namespace
}  // namespace cvn::host::test
