// The API's bearer token: read from a file or the environment, and checked
// against a call's Authorization header in time independent of the guess.
// Thread safety: immutable after construction.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace cvn::api {

class BearerToken {
public:
    /// The token: the first line of the file when given (trimmed), else CORVANE_API_TOKEN; nullopt when
    /// neither gives one. Throws std::runtime_error naming the file when it cannot be read or is empty.
    static std::optional<BearerToken> Load(const std::string& file);
    explicit BearerToken(const std::string& token);

    /// Whether the header value is "Bearer <the token>". Compares digests, so the time taken says
    /// nothing about how much of a guess was right, nor about the token's length.
    bool Accepts(const std::string& authorization) const;

private:
    std::array<unsigned char, 32> m_digest{};
};

/// Whether the host name or address is loopback: "localhost", 127.0.0.0/8 or ::1.
bool IsLoopbackHost(const std::string& host);

}  // namespace cvn::api
