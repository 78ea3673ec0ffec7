#include "cli/Roster.h"

namespace cli {

void Roster::add(const std::string& userId, const std::string& name) {
    std::string& known = m_members[userId];
    if (!name.empty()) known = name;
}

void Roster::remove(const std::string& userId) {
    m_members.erase(userId);
}

std::string Roster::nameOf(const std::string& userId) const {
    const auto it = m_members.find(userId);
    return it == m_members.end() ? "" : it->second;
}

std::vector<std::string> Roster::others() const {
    std::vector<std::string> ids;
    for (const auto& [id, name] : m_members)
        if (id != m_selfId) ids.push_back(id);
    return ids;
}

}  // namespace cli
