#pragma once
// What a typed line asks for: a message or one of the slash commands, with
// its arguments checked against the daemon's field limits. Also the line
// buffer that cuts standard input into lines with a bound on their length.
// Pure values; one thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class command_kind_t {
    kNone,     // an empty line: nothing to do
    kError,    // error says why
    kMessage,  // text
    kInvite,   // ids
    kLeave,
    kKick,     // ids[0]
    kAttach,   // fileName, fileSize, url
    kTyping,   // typing
    kMembers,
    kQuit,
    kHelp,
};

struct cli_command_t {
    command_kind_t kind = command_kind_t::kNone;
    std::string text;
    std::vector<std::string> ids;
    std::string fileName;
    uint32_t fileSize = 0;
    std::string url;
    bool typing = true;  // /typing: on; /typing off: off
    std::string error;
};

// Bounds of an attachment notice's fields (the daemon's field sizes).
inline constexpr size_t kMaxFileNameLen = 2048;
inline constexpr size_t kMaxUrlLen = 4096;

// One line without its end-of-line characters.
cli_command_t parseInputLine(const std::string& line);
// The /help text.
std::string commandHelp();

// Cuts bytes into lines. A line longer than kMaxLineBytes is dropped whole
// and reported once, so a stream without newlines cannot grow the buffer
// without bound.
class LineBuffer {
public:
    static constexpr size_t kMaxLineBytes = 64 * 1024;

    struct line_t {
        std::string text;
        bool tooLong = false;  // the line was dropped; text is empty
    };

    void feed(const char* data, size_t n);
    // The next complete line, oldest first.
    std::optional<line_t> next();
    // At the end of input: the unterminated last line, if any.
    std::optional<line_t> finish();

private:
    std::string m_buf;
    bool m_dropping = false;  // inside a line already over the bound
};

}  // namespace cli
