#include "client/TokenFetch.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "client/Protocol.h"

namespace client {

std::string formEncode(const std::string& bytes) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-' ||
            c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

namespace {

void trimLineEnd(std::string* s) {
    while (!s->empty() && (s->back() == '\n' || s->back() == '\r' || s->back() == ' ')) s->pop_back();
}

}  // namespace

bool readFirstLine(const std::string& path, std::string* line, std::string* error) {
    std::ifstream in(path);
    if (!in) return *error = path + ": " + std::strerror(errno), false;
    std::getline(in, *line);
    trimLineEnd(line);
    if (line->empty() || line->size() > client::kMaxTokenLen)
        return *error = path + ": no line of 1 to " + std::to_string(client::kMaxTokenLen) + " bytes", false;
    return true;
}

bool fetchToken(const std::string& url, const std::string& apiKey, const std::string& user, uint32_t roomId,
                bool mobile, double timeoutSec, std::string* token, std::string* error) {
    const size_t slash = url.find('/', 7);  // past "http://"
    const std::string origin = url.substr(0, slash);
    const std::string path = slash == std::string::npos ? "/" : url.substr(slash);
    httplib::Client client(origin);
    const auto timeout =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::duration<double>(timeoutSec));
    client.set_connection_timeout(timeout);
    client.set_read_timeout(timeout);
    const std::string form = "user=" + formEncode(user) + "&room=" + std::to_string(roomId) +
                             "&device=" + (mobile ? "mobile" : "pc");
    httplib::Headers headers = {{"X-Api-Key", apiKey}};
    httplib::Result res = client.Post(path, headers, form, "application/x-www-form-urlencoded");
    if (!res) return *error = url + ": " + httplib::to_string(res.error()), false;
    if (res->status != 200) return *error = url + ": HTTP status " + std::to_string(res->status), false;
    *token = res->body;
    trimLineEnd(token);
    if (token->empty() || token->size() > client::kMaxTokenLen) return *error = url + ": no token in the answer", false;
    return true;
}

}  // namespace client
