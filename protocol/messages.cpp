#include "protocol/messages.h"

#include "protocol/names.h"

namespace skirmish {
namespace {

MessageWriter Named(std::string_view name)
{
    MessageWriter writer;
    writer.putString(name);
    return writer;
}

} // namespace

namespace message {

MessageWriter Greeting() { return Named(names::kGreeting); }
MessageWriter Left(int32_t playerId) { return std::move(Named(names::kLeft).putInt(playerId)); }
MessageWriter ServerQuit() { return Named(names::kServerQuit); }

MessageWriter Moved(int32_t playerId, float x, float y)
{
    return std::move(Named(names::kMoved).putInt(playerId).putFloat(x).putFloat(y));
}

MessageWriter Rotated(int32_t playerId, float rotation)
{
    return std::move(Named(names::kRotated).putInt(playerId).putFloat(rotation));
}

MessageWriter PlayerMessage(int32_t playerId, std::string_view text)
{
    return std::move(Named(names::kPlayerMessage).putInt(playerId).putString(text));
}

MessageWriter Alive(int32_t playerId) { return std::move(Named(names::kAlive).putInt(playerId)); }

MessageWriter Joined(int32_t playerId, std::string_view name)
{
    return std::move(Named(names::kJoined).putInt(playerId).putString(name));
}

MessageWriter NewProjectile(int32_t projectileId, float x, float y, float angle)
{
    return std::move(Named(names::kNewProjectile).putInt(projectileId).putFloat(x).putFloat(y).putFloat(angle));
}

MessageWriter ProjMove(int32_t projectileId, float x, float y)
{
    return std::move(Named(names::kProjMove).putInt(projectileId).putFloat(x).putFloat(y));
}

MessageWriter ProjDelete(int32_t projectileId) { return std::move(Named(names::kProjDelete).putInt(projectileId)); }

MessageWriter Dead(int32_t victimId, int32_t shooterId)
{
    return std::move(Named(names::kDead).putInt(victimId).putInt(shooterId));
}

MessageWriter Health(int32_t health) { return std::move(Named(names::kHealth).putInt(health)); }

MessageWriter LevelInfo(int32_t roomCount, int32_t sizeX, int32_t sizeY, int32_t playerCount)
{
    return std::move(Named(names::kLevelInfo).putInt(roomCount).putInt(sizeX).putInt(sizeY).putInt(playerCount));
}

MessageWriter RoomRecord(int32_t x, int32_t y, int32_t width, int32_t height)
{
    MessageWriter writer;
    writer.putInt(x).putInt(y).putInt(width).putInt(height);
    return writer;
}

// The trailing 0 is a field clients expect and the server never varies.
MessageWriter Player(int32_t playerId, std::string_view name, float x, float y, bool dead)
{
    return std::move(
        Named(names::kPlayer).putInt(playerId).putString(name).putFloat(x).putFloat(y).putByte(dead ? 1 : 0).putInt(0));
}

MessageWriter PlayersDone() { return Named(names::kPlayersDone); }
MessageWriter ProjDone() { return Named(names::kProjDone); }

} // namespace message

namespace command {

MessageWriter Move(float dx, float dy) { return std::move(Named(names::kMove).putFloat(dx).putFloat(dy)); }
MessageWriter Rotate(float rotation) { return std::move(Named(names::kRotate).putFloat(rotation)); }
MessageWriter PlayerMessage(std::string_view text) { return std::move(Named(names::kPlayerMessage).putString(text)); }

MessageWriter Respawn(int32_t yOffset, int32_t xOffset)
{
    return std::move(Named(names::kRespawn).putInt(yOffset).putInt(xOffset));
}

MessageWriter Name(std::string_view name) { return std::move(Named(names::kName).putString(name)); }
MessageWriter Fire() { return Named(names::kFire); }

} // namespace command
} // namespace skirmish
