// The API's bearer token.
#include "host/api/BearerToken.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace cvn::api {

namespace {

std::array<unsigned char, 32> Digest(const std::string& text)
{
    std::array<unsigned char, 32> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
    return digest;
}

std::string Trimmed(std::string text)
{
    const char* blanks = " \t\r\n";
    text.erase(text.find_last_not_of(blanks) + 1);
    text.erase(0, text.find_first_not_of(blanks));
    return text;
}

}  // namespace

std::optional<BearerToken> BearerToken::Load(const std::string& file)
{
    std::string token;
    if (!file.empty()) {
        std::ifstream in(file);
        if (!in) throw std::runtime_error("cannot read the token file '" + file + "'");
        std::getline(in, token);
        token = Trimmed(token);
        if (token.empty()) throw std::runtime_error("the token file '" + file + "' has no token on its first line");
    } else if (const char* fromEnvironment = std::getenv("CORVANE_API_TOKEN")) {
        token = Trimmed(fromEnvironment);
    }
    if (token.empty()) return std::nullopt;
    return BearerToken(token);
}

BearerToken::BearerToken(const std::string& token) : m_digest(Digest(token)) {}

bool BearerToken::Accepts(const std::string& authorization) const
{
    static const std::string kScheme = "Bearer ";
    const bool bearer = authorization.size() > kScheme.size() &&
                        OPENSSL_strncasecmp(authorization.c_str(), kScheme.c_str(), kScheme.size()) == 0;
    const auto offered = Digest(bearer ? Trimmed(authorization.substr(kScheme.size())) : std::string());
    return CRYPTO_memcmp(offered.data(), m_digest.data(), m_digest.size()) == 0 && bearer;
}

bool IsLoopbackHost(const std::string& host)
{
    if (host == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace cvn::api
