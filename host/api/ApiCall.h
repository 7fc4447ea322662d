// One HTTP call being answered: its request document in either form, its
// answer in the form asked for, and failures as statuses with a JSON body.
// Thread safety: one call per server thread; the helpers are pure functions.
#pragma once

#include <optional>
#include <string>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Platform.h"
#include "host/api/NodeJson.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace cvn::api {

inline constexpr const char* kRequestsPath = "/api/v1/requests";

/// The media type of a Content-Type value, lower case, without parameters.
std::string MediaType(const std::string& contentType);
/// Whether the media type is the node text form's.
bool IsXmlType(const std::string& mediaType);
/// The token of a path in the key form (lower case, no braces); nullopt when the text is not a GUID.
std::optional<std::string> TokenKey(const std::string& text);
/// {"ResultCode", "ResultCodeHex", "error", "what"}.
Json ErrorBody(HRESULT code, const std::string& message, const std::string& what);
/// The body as the answer, uncompressed.
void SendJson(httplib::Response& response, int status, const Json& body);
/// "ResultCode" of a node, 0 when absent; "RetrieveStatus", -1 when absent.
int32_t ResultCodeOf(const QxNodePtr& node);
int32_t RetrieveStatusOf(const QxNodePtr& node);

class ApiCall {
public:
    ApiCall(const httplib::Request& request, httplib::Response& response);

    const httplib::Request& Request() const noexcept { return m_request; }
    httplib::Response& Response() const noexcept { return m_response; }
    /// The request document of the body, null for an empty body. Throws ApiError: 400 for a document
    /// that does not read (naming where), 415 for a body of another type.
    QxNodePtr Document() const;
    /// The answer, in the call's form; a token adds the Location of its polls (and "token" in JSON).
    void Answer(int status, const QxNodePtr& answer, const std::string& token = {}) const;
    /// A failed answer of the module: the status of its code, the error and the answer itself.
    void Failure(const QxNodePtr& answer, bool forPoll) const;

private:
    const httplib::Request& m_request;
    httplib::Response& m_response;
    bool m_xml = false;  ///< answer in the node text form
};

}  // namespace cvn::api
