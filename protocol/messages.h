#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/codec.h"

namespace skirmish::message {

// Every message the server sends, each with its fields in order.
MessageWriter Greeting();
MessageWriter Left(int32_t playerId);
MessageWriter ServerQuit();
MessageWriter Moved(int32_t playerId, float x, float y);
MessageWriter Rotated(int32_t playerId, float rotation);
MessageWriter PlayerMessage(int32_t playerId, std::string_view text);
MessageWriter Alive(int32_t playerId);
MessageWriter Joined(int32_t playerId, std::string_view name);
MessageWriter NewProjectile(int32_t projectileId, float x, float y, float angle);
MessageWriter ProjMove(int32_t projectileId, float x, float y);
MessageWriter ProjDelete(int32_t projectileId);
MessageWriter Dead(int32_t victimId, int32_t shooterId);
MessageWriter Health(int32_t health);
MessageWriter LevelInfo(int32_t roomCount, int32_t sizeX, int32_t sizeY, int32_t playerCount);
// A room record has no name: it is known by its place after "LevelInfo".
MessageWriter RoomRecord(int32_t x, int32_t y, int32_t width, int32_t height);
MessageWriter Player(int32_t playerId, std::string_view name, float x, float y, bool dead);
MessageWriter PlayersDone();
MessageWriter ProjDone();

} // namespace skirmish::message

namespace skirmish::command {

// Every command a client sends, each with its fields in order.
MessageWriter Move(float dx, float dy);
MessageWriter Rotate(float rotation);
MessageWriter PlayerMessage(std::string_view text);
// The first offset moves y, the second x.
MessageWriter Respawn(int32_t yOffset, int32_t xOffset);
MessageWriter Name(std::string_view name);
MessageWriter Fire();

} // namespace skirmish::command
