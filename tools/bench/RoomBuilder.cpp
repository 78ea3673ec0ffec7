#include "bench/RoomBuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/Protocol.h"
#include "client/Replies.h"
#include "client/TokenFetch.h"

namespace bench {

std::string RoomBuilder::build(const std::vector<room_plan_t>& rooms,
                               std::vector<std::vector<std::unique_ptr<BenchConnection>>>* out) {
    out->clear();
    for (const room_plan_t& room : rooms) {
        out->emplace_back();
        if (std::string err = openRoom(room, &out->back()); !err.empty())
            return "room " + std::to_string(room.roomId) + ": " + err;
    }
    return "";
}

std::string RoomBuilder::connect(BenchConnection& conn, const room_plan_t& room, const member_plan_t& member) {
    if (m_tls) conn.useTls(*m_tls);
    const int err = conn.connect(m_host, m_port, deadline());
    if (err != 0) return "connect to " + m_host + ":" + std::to_string(m_port) + ": " + conn.connectError(err);
    return m_tokenUrl.empty() ? "" : authenticate(conn, room, member);
}

std::string RoomBuilder::authenticate(BenchConnection& conn, const room_plan_t& room, const member_plan_t& member) {
    std::string token;
    std::string why;
    const double stepSec = std::chrono::duration<double>(m_stepTimeout).count();
    if (!client::fetchToken(m_tokenUrl, m_apiKey, member.userId, room.roomId, member.osType == client::OS_TYPE_MOBILE,
                            stepSec, &token, &why))
        return "token: " + why;
    if (!conn.send(client::AUTH, client::encode(client::AuthRequest{token}))) return "auth: " + conn.failReason();
    auto reply = conn.waitFor(client::AUTH_REPLY, deadline(), &why);
    if (!reply) return "auth: " + why;
    auto decoded = client::decodeAuthReply(*reply);
    if (!decoded || decoded->result != client::AUTH_RES_ACCEPTED) return "token refused: " + client::describe(*reply);
    return "";
}

idle_setup_t RoomBuilder::buildIdle(const std::vector<room_plan_t>& rooms,
                                    std::vector<std::unique_ptr<BenchConnection>>* out, bool progress) {
    idle_setup_t result;
    auto lastLine = BenchConnection::Clock::now();
    auto tick = [&] {
        const auto now = BenchConnection::Clock::now();
        if (!progress || now - lastLine < std::chrono::seconds(1)) return;
        lastLine = now;
        std::fprintf(stderr, "tolvex-bench: idle connections: %d open, %d refused\n", result.open, result.refused);
    };
    int planned = 0;
    for (const room_plan_t& room : rooms) planned += static_cast<int>(room.members.size());
    auto refuse = [&result](int count, const std::string& why) {
        result.refused += count;
        if (result.firstRefusal.empty()) result.firstRefusal = why;
    };
    // Keeps an opened connection; a refused one counts for `members`. A
    // daemon that stops answering (out of descriptors, connections left in
    // its backlog) would cost a step timeout per connection: give up on the
    // rest at the first one. A daemon that closes them says no at once.
    bool stopped = false;
    auto admit = [&](std::unique_ptr<BenchConnection> conn, const std::string& err, int members,
                     const std::string& who) {
        if (err.empty()) {
            out->push_back(std::move(conn));
            ++result.open;
            return true;
        }
        refuse(members, who + ": " + err);
        if (conn->timedOut()) {
            refuse(planned - result.open - result.refused, "the daemon stopped answering");
            stopped = true;
        }
        return false;
    };
    for (const room_plan_t& room : rooms) {
        tick();
        auto creator = std::make_unique<BenchConnection>();
        const std::string err = openCreator(room, *creator);
        if (!admit(std::move(creator), err, static_cast<int>(room.members.size()),
                   "room " + std::to_string(room.roomId))) {
            if (stopped) return result;
            continue;
        }
        for (size_t m = 1; m < room.members.size() && !stopped; ++m) {
            auto conn = std::make_unique<BenchConnection>();
            const std::string joinErr = join(room, room.members[m], *conn);
            admit(std::move(conn), joinErr, 1, room.members[m].userId);
        }
        if (stopped) return result;
    }
    return result;
}

std::string RoomBuilder::openCreator(const room_plan_t& room, BenchConnection& creator) {
    if (std::string err = connect(creator, room, room.members[0]); !err.empty()) return err;
    // The daemon takes at most kMaxInvitees per invitation: the room init
    // carries the first batch, USER_ADDs the rest.
    const size_t invited = room.members.size() - 1;
    for (size_t first = 1; first == 1 || first <= invited; first += client::kMaxInvitees) {
        const size_t last = std::min(invited, first + client::kMaxInvitees - 1);
        if (std::string err = invite(creator, room, first, last, first == 1); !err.empty()) return err;
    }
    return "";
}

std::string RoomBuilder::openRoom(const room_plan_t& room, std::vector<std::unique_ptr<BenchConnection>>* conns) {
    conns->push_back(std::make_unique<BenchConnection>());
    if (std::string err = openCreator(room, *conns->back()); !err.empty()) return err;
    for (size_t m = 1; m < room.members.size(); ++m) {
        conns->push_back(std::make_unique<BenchConnection>());
        if (std::string err = join(room, room.members[m], *conns->back()); !err.empty())
            return room.members[m].userId + ": " + err;
    }
    return "";
}

std::string RoomBuilder::invite(BenchConnection& creator, const room_plan_t& room, size_t first, size_t last,
                                bool withInit) {
    std::vector<client::invitee_t> invitees;
    for (size_t m = first; m <= last; ++m) invitees.push_back({room.members[m].userId, room.members[m].nameInfo});
    std::string why;
    if (withInit) {
        client::RoomInitRequest init;
        init.roomId = room.roomId;
        init.creatorId = room.members[0].userId;
        init.creatorName = room.members[0].nameInfo;
        init.osType = room.members[0].osType;
        init.invitees = invitees;
        if (!creator.send(client::ROOM_CREATE, client::encode(init))) return "room init: " + creator.failReason();
        auto reply = creator.waitFor(client::ROOM_CREATE_REPLY, deadline(), &why);
        if (!reply) return "room init: " + why;
        auto decoded = client::decodeRoomInitReply(*reply);
        if (!decoded || decoded->result != client::RES_SUCCESS) return "room init refused: " + client::describe(*reply);
        if (invitees.empty()) return "";
    } else {
        client::InviteRequest add;
        add.roomId = room.roomId;
        add.invitees = invitees;
        if (!creator.send(client::USER_ADD, client::encode(add))) return "invite: " + creator.failReason();
    }
    auto reply = creator.waitFor(client::USER_ADD_REPLY, deadline(), &why);
    if (!reply) return "invite: " + why;
    auto decoded = client::decodeInviteReply(*reply);
    if (!decoded || decoded->result != client::RES_SUCCESS || !decoded->failedIds.empty())
        return "invite refused: " + client::describe(*reply);
    return "";
}

std::string RoomBuilder::join(const room_plan_t& room, const member_plan_t& member, BenchConnection& conn) {
    if (member.stalled) conn.setReceiveBuffer(kStalledReceiveBuffer);
    if (std::string err = connect(conn, room, member); !err.empty()) return err;
    const client::JoinRequest request{room.roomId, member.userId, member.nameInfo, member.osType};
    if (!conn.send(client::USER_JOIN, client::encode(request))) return "join: " + conn.failReason();
    std::string why;
    auto reply = conn.waitFor(client::USER_JOIN_REPLY, deadline(), &why);
    if (!reply) return "join: " + why;
    auto decoded = client::decodeJoinReply(*reply);
    if (!decoded || decoded->result != client::RES_SUCCESS) return "join refused: " + client::describe(*reply);
    return "";
}

}  // namespace bench
