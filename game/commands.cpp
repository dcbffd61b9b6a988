#include "game/commands.h"

#include <cmath>
#include <string>
#include <string_view>

#include "core/console.h"
#include "core/whole_number.h"
#include "game/flight.h"
#include "game/projectile_ids.h"
#include "protocol/messages.h"
#include "protocol/names.h"

namespace skirmish {
namespace {

// What a command works on: the world, the sender, its message's remaining fields, the moment, the way out.
struct CommandContext {
    Level& level;
    Player& sender;
    int senderId;
    MessageReader& fields;
    int32_t now;
    Outbox& out;
};

// Non-finite values would poison the world and reach every client; such a command is dropped.
void Move(CommandContext& c)
{
    float dx = c.fields.getFloat();
    float dy = c.fields.getFloat();
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return;
    movePlayer(c.sender, dx, dy);
    c.out.toAll(message::Moved(c.senderId, WholeNumber(c.sender.x), WholeNumber(c.sender.y)));
}

void Rotate(CommandContext& c)
{
    float rotation = c.fields.getFloat();
    if (!std::isfinite(rotation))
        return;
    c.sender.rotation = rotation;
    c.out.toAll(message::Rotated(c.senderId, c.sender.rotation));
}

void Chat(CommandContext& c)
{
    std::string text = c.fields.getString(kMaxCommandTextBytes);
    c.out.toAll(message::PlayerMessage(c.senderId, text));
}

// Places the player at room-table entry 1, its tiles taken as map units, then
// moves it by the two offsets: the first integer moves y, the second x.
void Respawn(CommandContext& c)
{
    if (MayWriteLine(c.sender, c.now))
        ConsoleLine("Respawn requested by ", c.senderId);
    // Start-up asks for at least one room, so entry 1 (a room or the extra one) always exists.
    const Room& entry = c.level.rooms.at(1);
    respawnAt(c.sender, static_cast<float>(entry.x), static_cast<float>(entry.y), c.out);
    int32_t yOffset = c.fields.getInt();
    int32_t xOffset = c.fields.getInt();
    movePlayer(c.sender, static_cast<float>(xOffset), static_cast<float>(yOffset));
    c.out.toAll(message::Moved(c.senderId, WholeNumber(c.sender.x), WholeNumber(c.sender.y)));
    c.out.toAll(message::Alive(c.senderId));
}

// The console line and "Joined" carry the name as read; the slot keeps at most 63 bytes of it.
void Name(CommandContext& c)
{
    std::string name = c.fields.getString(kMaxCommandTextBytes);
    if (MayWriteLine(c.sender, c.now))
        ConsoleLine("Player ", c.senderId, " updated name to ", EscapeForConsole(name));
    SetPlayerName(c.sender, name);
    SendLevelSnapshot(c.level, c.senderId, c.out);
    c.out.toAll(message::Joined(c.senderId, name));
    c.sender.deathTime = c.now;
}

void Fire(CommandContext& c)
{
    if (!c.sender.weapon || !c.sender.weapon->canFire(c.now))
        return;
    float x0 = WholeNumber(c.sender.x);
    float y0 = WholeNumber(c.sender.y);
    float a0 = c.sender.rotation;
    // Every projectile of the shot is announced from the shooter's position and
    // facing, not with its own spread angle.
    for (const Projectile& projectile : c.sender.weapon->fire(AllocateProjectileId, x0, y0, a0, c.senderId, c.now)) {
        c.level.entities.projectiles.push_back(projectile);
        c.out.toAll(message::NewProjectile(projectile.id, x0, y0, a0).withFlight(FlightOf(projectile, c.level.entities)));
    }
}

struct Command {
    std::string_view word;
    void (*run)(CommandContext&);
};

const Command kCommands[] = {
    {names::kMove, Move},       {names::kRotate, Rotate}, {names::kPlayerMessage, Chat},
    {names::kRespawn, Respawn}, {names::kName, Name},     {names::kFire, Fire},
};

} // namespace

void HandleMessage(Level& level, int from, std::span<const uint8_t> message, int32_t now, Outbox& out)
{
    MessageReader fields(message);
    std::string word = fields.getString(kMaxCommandTextBytes);
    for (const Command& command : kCommands) {
        if (word != command.word)
            continue;
        // Ids come from the network layer below the slot count; this guard keeps an
        // impossible one from indexing anyway.
        if (Player* sender = PlayerSlot(level, from)) {
            CommandContext context{level, *sender, from, fields, now, out};
            command.run(context);
        }
        return;
    }
    // Every unmatched word would let one client write the console as fast as it
    // sends; its budget keeps the first few lines of each second and counts the rest.
    // Ids always have a slot (see above).
    Player* sender = PlayerSlot(level, from);
    if (sender && MayWriteLine(*sender, now))
        ConsoleLine("message \"", EscapeForConsole(word), "\" Sent by P", from, ", but no matching command");
}

void SendLevelSnapshot(const Level& level, int to, Outbox& out)
{
    out.toPlayer(to, message::LevelInfo(level.roomCount(), level.sizeX, level.sizeY,
                                        static_cast<int32_t>(level.entities.players.size())));
    for (const Room& room : level.rooms)
        out.toPlayer(to, message::RoomRecord(room.x, room.y, room.width, room.height));
    for (const Player& player : level.entities.players) {
        if (player.connected)
            out.toPlayer(to, message::Player(player.id, player.name, WholeNumber(player.x), WholeNumber(player.y),
                                             player.dead));
    }
    out.toPlayer(to, message::PlayersDone());
    for (const Projectile& projectile : level.entities.projectiles)
        out.toPlayer(to, message::NewProjectile(projectile.id, projectile.x, projectile.y, projectile.angle)
                             .withFlight(FlightOf(projectile, level.entities)));
    out.toPlayer(to, message::ProjDone());
}

} // namespace skirmish

namespace skirmish {

size_t SnapshotBytes(const Level& level)
{
    struct Counter final : Outbox {
        size_t bytes = 0;
        void toPlayer(int, const MessageWriter& message) override { bytes += 2 + message.bytes().size(); }
        void toAll(const MessageWriter& message) override { toPlayer(0, message); }
    } counter;
    SendLevelSnapshot(level, 0, counter);
    return counter.bytes;
}

} // namespace skirmish
