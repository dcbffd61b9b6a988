#include "client/game_state.h"

#include <utility>

#include "protocol/names.h"

namespace skirmish::client {
namespace {

void Log(GameState& state, std::string line)
{
    state.log.push_back(std::move(line));
    while (state.log.size() > kLogLines)
        state.log.pop_front();
}

// Id 0 is the server itself: an operator's "say" comes from it.
std::string NameOf(const GameState& state, int32_t id)
{
    if (id == 0)
        return "Server";
    auto player = state.players.find(id);
    return player == state.players.end() ? "player " + std::to_string(id) : player->second.name;
}

} // namespace

void ApplyMessage(GameState& state, const DecodedMessage& message)
{
    const Fields m{message};
    // Room records carry no name: they are known by their place after "LevelInfo".
    if (state.roomRecordsExpected > 0 && !message.fields.empty() && message.fields[0].type == FieldType::Int) {
        state.rooms.push_back({m.i(0), m.i(1), m.i(2), m.i(3)});
        --state.roomRecordsExpected;
        return;
    }
    const std::string name = message.name();
    const bool ownJoin = std::exchange(state.ownJoinNext, false);
    if (name == names::kGreeting) {
        state.link = Link::Playing;
        Log(state, name);
    } else if (name == names::kLevelInfo) {
        if (state.link == Link::Connecting)
            state.link = Link::Playing;
        state.roomCount = m.i(1);
        state.sizeX = m.i(2);
        state.sizeY = m.i(3);
        state.rooms.clear();
        state.players.clear();
        state.projectiles.clear();
        state.roomRecordsExpected = state.roomCount >= 0 ? static_cast<size_t>(state.roomCount) + 1 : 0;
    } else if (name == names::kPlayer) {
        SeenPlayer& player = state.players[m.i(1)];
        player.name = m.t(2);
        player.x = m.f(3);
        player.y = m.f(4);
        player.dead = m.b(5) != 0;
    } else if (name == names::kNewProjectile) {
        state.projectiles[m.i(1)] = {m.f(2), m.f(3), m.f(4)};
    } else if (name == names::kProjMove) {
        auto projectile = state.projectiles.find(m.i(1));
        if (projectile != state.projectiles.end()) {
            projectile->second.x = m.f(2);
            projectile->second.y = m.f(3);
        }
    } else if (name == names::kProjDelete) {
        state.projectiles.erase(m.i(1));
    } else if (name == names::kMoved) {
        SeenPlayer& player = state.players[m.i(1)];
        player.x = m.f(2);
        player.y = m.f(3);
    } else if (name == names::kRotated) {
        state.players[m.i(1)].rotation = m.f(2);
    } else if (name == names::kAlive) {
        state.players[m.i(1)].dead = false;
        if (m.i(1) == state.myId)
            state.myHealth = 100;
    } else if (name == names::kProjDone) {
        state.ownJoinNext = !state.spectator;
    } else if (name == names::kJoined) {
        state.players[m.i(1)].name = m.t(2);
        // Another player of the same name may join first; only the place tells ours apart.
        if (ownJoin)
            state.myId = m.i(1);
        Log(state, m.t(2) + " joined");
    } else if (name == names::kLeft) {
        Log(state, NameOf(state, m.i(1)) + " left");
        state.players.erase(m.i(1));
    } else if (name == names::kDead) {
        state.players[m.i(1)].dead = true;
        Log(state, NameOf(state, m.i(2)) + " killed " + NameOf(state, m.i(1)));
    } else if (name == names::kHealth) {
        state.myHealth = m.i(1);
    } else if (name == names::kPlayerMessage) {
        Log(state, NameOf(state, m.i(1)) + ": " + m.t(2));
    } else if (name == names::kServerQuit) {
        state.link = Link::ServerQuit;
    }
}

std::string LinkMessage(const GameState& state, const std::string& host, uint16_t port)
{
    const std::string where = host + ":" + std::to_string(port);
    switch (state.link) {
    case Link::Connecting:
        return "Connecting to " + where + " ...";
    case Link::Unreachable:
        return "Cannot reach a server at " + where + ".";
    case Link::Full:
        return "The server at " + where + " is full.";
    case Link::ServerQuit:
        return "The server has quit.";
    case Link::Lost:
        return "The connection to " + where + " was lost.";
    case Link::Kicked:
        return "You were kicked from " + where + ".";
    case Link::Banned:
        return "You are banned from " + where + ".";
    case Link::Playing:
        return "";
    }
    return "";
}

} // namespace skirmish::client
