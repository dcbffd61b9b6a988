#pragma once

#include <cstdint>
#include <string>

namespace skirmish {

// Every message the server sends, each built in one place with its fields in
// order. "Broadcast" goes to every client, "Send" to one.
void SendGreeting(int to);
void BroadcastLeft(int playerId);
void BroadcastServerQuit();
void BroadcastMoved(int playerId, float x, float y);
void BroadcastRotated(int playerId, float rotation);
void BroadcastPlayerMessage(int playerId, const char* text);
void BroadcastAlive(int playerId);
void BroadcastJoined(int playerId, const char* name);
void BroadcastNewProjectile(int projectileId, float x, float y, float angle);
void SendNewProjectile(int to, int projectileId, float x, float y, float angle);
void BroadcastProjMove(int projectileId, float x, float y);
void BroadcastProjDelete(int projectileId);
void BroadcastDead(int victimId, int shooterId);
void SendHealth(int to, int health);
void SendLevelInfo(int to, int roomCount, int sizeX, int sizeY, int playerCount);
void SendRoomRecord(int to, int x, int y, int width, int height);
void SendPlayer(int to, int playerId, const char* name, float x, float y, bool dead);
void SendPlayersDone(int to);
void SendProjDone(int to);

} // namespace skirmish
