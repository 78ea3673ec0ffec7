#pragma once
// The refusal of one WAS request: a non-zero result code and the short text
// that goes into the reply header. Thrown by the form readers and the store,
// caught once per request by the page that is answering it.

#include <cstdint>
#include <stdexcept>
#include <string>

// Result codes of the reply header. 0 means the request was carried out.
constexpr uint16_t WAS_OK = 0;
constexpr uint16_t WAS_BAD_REQUEST = 400;  // missing, malformed or over-long field
constexpr uint16_t WAS_NOT_FOUND = 404;    // the room or message is not stored
constexpr uint16_t WAS_CONFLICT = 409;     // the same key is stored with other content
constexpr uint16_t WAS_STORAGE_ERROR = 500;  // the database refused the request

class RequestError : public std::runtime_error {
public:
    RequestError(uint16_t code, const std::string& text)
        : std::runtime_error(text), m_code(code) {}
    uint16_t code() const { return m_code; }

private:
    uint16_t m_code;
};
