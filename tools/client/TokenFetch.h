#pragma once
// Gets the join token a client presents in AUTH: read from a file, or
// asked of a tolvex-was token page with an API key. Blocking, on the
// caller's thread; free functions, no state kept.

#include <cstdint>
#include <string>

namespace client {

// bytes as one application/x-www-form-urlencoded value.
std::string formEncode(const std::string& bytes);

// The first line of path (at most one token's length). False with *error.
bool readFirstLine(const std::string& path, std::string* line, std::string* error);

// POSTs user, room and device (pc or mobile) to url (http://HOST:PORT/PATH)
// with apiKey in X-Api-Key; the token on a 200 answer. False with *error.
bool fetchToken(const std::string& url, const std::string& apiKey, const std::string& user, uint32_t roomId,
                bool mobile, double timeoutSec, std::string* token, std::string* error);

}  // namespace client
