#include "cli/CliCommand.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "cli/CliOptions.h"
#include "client/Protocol.h"

namespace cli {

namespace {

cli_command_t failure(std::string why) {
    cli_command_t c;
    c.kind = command_kind_t::kError;
    c.error = std::move(why);
    return c;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool blank(const std::string& s) {
    return s.find_first_not_of(" \t") == std::string::npos;
}

cli_command_t message(std::string text) {
    if (text.size() > client::kMaxMsgLen)
        return failure("message longer than " + std::to_string(client::kMaxMsgLen) + " bytes, not sent");
    cli_command_t c;
    c.kind = command_kind_t::kMessage;
    c.text = std::move(text);
    return c;
}

cli_command_t invite(const std::vector<std::string>& args) {
    if (args.size() != 1) return failure("usage: /invite ID[,ID...]");
    cli_command_t c;
    if (std::string err = splitUserIds(args[0], &c.ids); !err.empty()) return failure("/invite: " + err);
    if (c.ids.size() > client::kMaxInvitees)
        return failure("/invite: at most " + std::to_string(client::kMaxInvitees) + " users at a time");
    c.kind = command_kind_t::kInvite;
    return c;
}

cli_command_t kick(const std::vector<std::string>& args) {
    if (args.size() != 1) return failure("usage: /kick ID");
    if (args[0].size() > client::kMaxIdLen) return failure("/kick: user id too long");
    cli_command_t c;
    c.kind = command_kind_t::kKick;
    c.ids = args;
    return c;
}

cli_command_t attach(const std::vector<std::string>& args) {
    if (args.size() != 3) return failure("usage: /attach NAME SIZE URL");
    cli_command_t c;
    c.fileName = args[0];
    c.url = args[2];
    const std::string& size = args[1];
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(size.c_str(), &end, 10);
    if (size.empty() || size[0] == '-' || *end != '\0' || errno != 0 || v > UINT32_MAX)
        return failure("/attach: SIZE must be a byte count up to " + std::to_string(UINT32_MAX));
    c.fileSize = static_cast<uint32_t>(v);
    if (c.fileName.size() > kMaxFileNameLen)
        return failure("/attach: file name longer than " + std::to_string(kMaxFileNameLen) + " bytes");
    if (c.url.size() > kMaxUrlLen) return failure("/attach: URL longer than " + std::to_string(kMaxUrlLen) + " bytes");
    c.kind = command_kind_t::kAttach;
    return c;
}

cli_command_t typing(const std::vector<std::string>& args) {
    cli_command_t c;
    c.kind = command_kind_t::kTyping;
    if (args.empty() || (args.size() == 1 && args[0] == "on")) return c;
    if (args.size() == 1 && args[0] == "off") {
        c.typing = false;
        return c;
    }
    return failure("usage: /typing [on|off]");
}

cli_command_t bare(command_kind_t kind, const std::string& name, const std::vector<std::string>& args) {
    if (!args.empty()) return failure("usage: /" + name);
    cli_command_t c;
    c.kind = kind;
    return c;
}

}  // namespace

cli_command_t parseInputLine(const std::string& line) {
    if (blank(line)) return cli_command_t{};
    if (line[0] != '/') return message(line);
    if (line.size() > 1 && line[1] == '/') return message(line.substr(1));
    std::vector<std::string> args = words(line.substr(1));
    const std::string name = args.empty() ? "" : args[0];
    if (!args.empty()) args.erase(args.begin());
    if (name == "invite") return invite(args);
    if (name == "kick") return kick(args);
    if (name == "attach") return attach(args);
    if (name == "typing") return typing(args);
    if (name == "leave") return bare(command_kind_t::kLeave, name, args);
    if (name == "members") return bare(command_kind_t::kMembers, name, args);
    if (name == "quit") return bare(command_kind_t::kQuit, name, args);
    if (name == "help") return bare(command_kind_t::kHelp, name, args);
    return failure("unknown command /" + name + " (try /help)");
}

std::string commandHelp() {
    return "  /invite ID[,ID...]     invite users to the room\n"
           "  /kick ID               remove a member\n"
           "  /attach NAME SIZE URL  send a file notice to the other members\n"
           "  /typing [off]          tell the others you are typing (or stopped)\n"
           "  /members               list the members\n"
           "  /leave                 leave the room for good and quit\n"
           "  /quit                  close the connection and quit (you stay a member)\n"
           "  //text                 send a message starting with /\n"
           "Any other line is sent as a message.";
}

void LineBuffer::feed(const char* data, size_t n) {
    m_buf.append(data, n);
}

std::optional<LineBuffer::line_t> LineBuffer::next() {
    for (;;) {
        const size_t nl = m_buf.find('\n');
        if (nl == std::string::npos) {
            // Keep only as much of an unfinished line as a line may hold.
            if (m_buf.size() > kMaxLineBytes) {
                m_buf.clear();
                if (!m_dropping) {
                    m_dropping = true;
                    return line_t{"", true};
                }
            }
            return std::nullopt;
        }
        std::string text = m_buf.substr(0, nl);
        m_buf.erase(0, nl + 1);
        if (m_dropping) {  // the tail of a dropped line, already reported
            m_dropping = false;
            continue;
        }
        if (text.size() > kMaxLineBytes) return line_t{"", true};
        if (!text.empty() && text.back() == '\r') text.pop_back();
        return line_t{std::move(text), false};
    }
}

std::optional<LineBuffer::line_t> LineBuffer::finish() {
    if (auto line = next()) return line;
    if (m_dropping || m_buf.empty()) return std::nullopt;
    std::string text;
    text.swap(m_buf);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return line_t{std::move(text), false};
}

}  // namespace cli
