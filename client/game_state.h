#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "protocol/codec.h"

namespace skirmish::client {

// A decoded message's fields read by place, the zero value where a field is missing.
struct Fields {
    const DecodedMessage& message;
    int32_t i(size_t at) const { return at < message.fields.size() ? message.fields[at].intValue : 0; }
    float f(size_t at) const { return at < message.fields.size() ? message.fields[at].floatValue : 0.0f; }
    uint8_t b(size_t at) const { return at < message.fields.size() ? message.fields[at].byteValue : 0; }
    std::string t(size_t at) const { return at < message.fields.size() ? message.fields[at].text : std::string(); }
};

struct RoomRect {
    int32_t x = 0; // tiles
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

struct SeenPlayer {
    std::string name = "?";
    float x = 0; // map units
    float y = 0;
    float rotation = 0;
    bool dead = true;
};

struct SeenProjectile {
    float x = 0;
    float y = 0;
    float angle = 0;
};

enum class Link { Connecting, Playing, Unreachable, Full, ServerQuit, Lost, Kicked, Banned };

// The world as the server has told it: nothing here is decided by the client.
struct GameState {
    std::string myName;
    int32_t myId = 0;
    int32_t myHealth = 100;
    int32_t roomCount = 0;
    int32_t sizeX = 0; // tiles
    int32_t sizeY = 0;
    std::vector<RoomRect> rooms;
    std::map<int32_t, SeenPlayer> players;
    std::map<int32_t, SeenProjectile> projectiles;
    std::deque<std::string> log; // chat, kills, joins and leaves; newest last
    Link link = Link::Connecting;
    size_t roomRecordsExpected = 0;
    // A spectator has no id and no greeting: its snapshot is where watching starts.
    bool spectator = false;
    // Set by "ProjDone": the server follows our own snapshot at once with our own "Joined".
    bool ownJoinNext = false;
};

// Lines kept in the on-screen log.
constexpr size_t kLogLines = 8;

// Applies one message from the server.
void ApplyMessage(GameState& state, const DecodedMessage& message);

// The text shown when the connection is not (or no longer) playing, or "".
std::string LinkMessage(const GameState& state, const std::string& host, uint16_t port);

} // namespace skirmish::client
