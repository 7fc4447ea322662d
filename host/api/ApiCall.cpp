// One HTTP call being answered.
#include "host/api/ApiCall.h"

#include <httplib.h>

#include <algorithm>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/api/ApiError.h"
#include "platform/nodestore/TextDepth.h"

namespace cvn::api {

namespace {

constexpr const char* kJsonType = "application/json";
// With a charset the library does not compress: brotli at its slowest setting costs a dashboard's poll
// more than the bytes it saves on loopback or a LAN.
constexpr const char* kJsonAnswerType = "application/json; charset=utf-8";
constexpr const char* kXmlType = "application/xml; charset=utf-8";

// The HTTP status of a failed answer of the module.
int StatusOfFailure(HRESULT code, bool forPoll)
{
    constexpr HRESULT kHrUnknownRequest = static_cast<HRESULT>(0x80040513);
    if (code == kHrDatabaseUnavailable || code == kHrDatabaseBusy) return 503;
    if (code == kHrNotFound) return forPoll ? 404 : 400;
    if (code == kHrInvalidData || code == E_INVALIDARG || code == kHrUnknownRequest) return 400;
    return 500;
}

}  // namespace

std::string MediaType(const std::string& contentType)
{
    std::string type = contentType.substr(0, contentType.find(';'));
    type.erase(type.find_last_not_of(" \t") + 1);
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
    return type;
}

bool IsXmlType(const std::string& mediaType) { return mediaType == "application/xml" || mediaType == "text/xml"; }

std::optional<std::string> TokenKey(const std::string& text)
{
    GUID guid{};
    if (!ParseGuidText(text, guid)) return std::nullopt;
    std::string key = GuidToText(guid).substr(1, 36);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

Json ErrorBody(HRESULT code, const std::string& message, const std::string& what)
{
    Json body = Json::object();
    body["ResultCode"] = static_cast<int32_t>(code);
    body["ResultCodeHex"] = HrToText(code);
    body["error"] = message;
    body["what"] = what;
    return body;
}

void SendJson(httplib::Response& response, int status, const Json& body)
{
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), kJsonAnswerType);
}

int32_t ResultCodeOf(const QxNodePtr& node) { return node.GetAttributeOr<int32_t>("ResultCode", 0); }
int32_t RetrieveStatusOf(const QxNodePtr& node) { return node.GetAttributeOr<int32_t>("RetrieveStatus", -1); }

ApiCall::ApiCall(const httplib::Request& request, httplib::Response& response) : m_request(request), m_response(response)
{
    const std::string accept = request.get_header_value("Accept");
    const size_t xml = accept.find("xml");
    m_xml = request.method == "POST" ? IsXmlType(MediaType(request.get_header_value("Content-Type")))
                                     : xml != std::string::npos && xml < std::min(accept.find("json"), accept.size());
}

QxNodePtr ApiCall::Document() const
{
    if (m_request.body.empty()) return nullptr;
    const std::string type = MediaType(m_request.get_header_value("Content-Type"));
    if (IsXmlType(type)) {
        try {
            return QxNodePtr::Parse(m_request.body);
        } catch (const HRX& error) {
            throw ApiError(400, kHrInvalidData, "the body is not one node in the text form: " + ErrorText(error),
                           "body");
        }
    }
    if (type != kJsonType)
        throw ApiError(415, kHrInvalidData,
                       "the body's Content-Type is '" + type + "': send application/json or application/xml",
                       "Content-Type");
    // A document deeper than a node tree may be is refused while it is read.
    constexpr int maxDepth = 2 * nodestore::kMaxTextDepth + 2;
    const Json::parser_callback_t limit = [](int depth, Json::parse_event_t, Json&) {
        if (depth > maxDepth)
            throw ApiError(400, kHrInvalidData, "the body is nested deeper than a node tree may be", "body");
        return true;
    };
    Json json;
    try {
        json = Json::parse(m_request.body, limit);
    } catch (const Json::exception& error) {
        throw ApiError(400, kHrInvalidData, std::string("the body is not JSON: ") + error.what(), "body");
    }
    return JsonToNode(json);
}

void ApiCall::Answer(int status, const QxNodePtr& answer, const std::string& token) const
{
    if (!token.empty()) m_response.set_header("Location", std::string(kRequestsPath) + "/" + token);
    if (m_xml) {
        m_response.status = status;
        m_response.set_content(answer.ToText(), kXmlType);
        return;
    }
    Json body = Json::object();
    if (!token.empty()) body["token"] = token;
    body["answer"] = NodeToJson(answer);
    SendJson(m_response, status, body);
}

void ApiCall::Failure(const QxNodePtr& answer, bool forPoll) const
{
    const HRESULT code = ResultCodeOf(answer);
    const int status = StatusOfFailure(code, forPoll);
    std::string text = answer.GetAttributeOr("ErrorSerialized", "");
    if (text.empty()) text = HrToText(code);
    if (status == 404) text = "the token is unknown, finished, freed or expired: " + text;
    Json body = ErrorBody(code, text, forPoll ? "token" : "request");
    body["answer"] = NodeToJson(answer);
    if (status == 503) m_response.set_header("Retry-After", "1");
    SendJson(m_response, status, body);
}

}  // namespace cvn::api
