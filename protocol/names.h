#pragma once

#include <string_view>

// Every command and message name of the wire protocol, written once: the server,
// the client, the bots, the fuzzers and the tests all spell them from here.
namespace skirmish::names {

// Commands, client to server.
inline constexpr std::string_view kMove = "Move";
inline constexpr std::string_view kRotate = "Rotate";
inline constexpr std::string_view kPlayerMessage = "PlayerMessage";
inline constexpr std::string_view kRespawn = "Respawn";
inline constexpr std::string_view kName = "Name";
inline constexpr std::string_view kFire = "Fire";

// Messages, server to clients. The greeting is a message whose name is its whole text.
inline constexpr std::string_view kGreeting = "MOTD Goes Here";
inline constexpr std::string_view kLeft = "Left";
inline constexpr std::string_view kServerQuit = "ServerQuit";
inline constexpr std::string_view kMoved = "Moved";
inline constexpr std::string_view kRotated = "Rotated";
inline constexpr std::string_view kAlive = "Alive";
inline constexpr std::string_view kJoined = "Joined";
inline constexpr std::string_view kNewProjectile = "NewProjectile";
inline constexpr std::string_view kProjMove = "ProjMove";
inline constexpr std::string_view kProjDelete = "ProjDelete";
inline constexpr std::string_view kDead = "Dead";
inline constexpr std::string_view kHealth = "Health";
inline constexpr std::string_view kLevelInfo = "LevelInfo";
inline constexpr std::string_view kPlayer = "Player";
inline constexpr std::string_view kPlayersDone = "PlayersDone";
inline constexpr std::string_view kProjDone = "ProjDone";
// "PlayerMessage" travels both ways with the same name.

} // namespace skirmish::names
