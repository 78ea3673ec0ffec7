#pragma once
// The members of the open room as this client knows them: filled from the
// join reply (or the room init and its invitations) and kept up to date by
// join and leave notices. A value owned by the session; one thread.

#include <map>
#include <string>
#include <vector>

namespace cli {

class Roster {
public:
    explicit Roster(std::string selfId = "") : m_selfId(std::move(selfId)) {}

    const std::string& selfId() const { return m_selfId; }
    // Adds or renames a member; an empty name keeps the one known.
    void add(const std::string& userId, const std::string& name);
    void remove(const std::string& userId);
    void clear() { m_members.clear(); }
    bool contains(const std::string& userId) const { return m_members.count(userId) != 0; }
    size_t size() const { return m_members.size(); }
    // The known name, or "" for someone not (or no longer) listed.
    std::string nameOf(const std::string& userId) const;
    // Every member but this client's own user, by user id.
    std::vector<std::string> others() const;
    // Every member, by user id: (id, name).
    const std::map<std::string, std::string>& members() const { return m_members; }

private:
    std::string m_selfId;
    std::map<std::string, std::string> m_members;  // user id -> name
};

}  // namespace cli
