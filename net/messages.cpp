#include "net/messages.h"

#include "net/net.h"

namespace skirmish {

void SendGreeting(int to)
{
    NetPutString("MOTD Goes Here");
    NetSend(to);
}

void BroadcastLeft(int playerId)
{
    NetPutString("Left");
    NetPutInt(playerId);
    NetSendAll();
}

void BroadcastServerQuit()
{
    NetPutString("ServerQuit");
    NetSendAll();
}

void BroadcastMoved(int playerId, float x, float y)
{
    NetPutString("Moved");
    NetPutInt(playerId);
    NetPutFloat(x);
    NetPutFloat(y);
    NetSendAll();
}

void BroadcastRotated(int playerId, float rotation)
{
    NetPutString("Rotated");
    NetPutInt(playerId);
    NetPutFloat(rotation);
    NetSendAll();
}

void BroadcastPlayerMessage(int playerId, const char* text)
{
    NetPutString("PlayerMessage");
    NetPutInt(playerId);
    NetPutString(text);
    NetSendAll();
}

void BroadcastAlive(int playerId)
{
    NetPutString("Alive");
    NetPutInt(playerId);
    NetSendAll();
}

void BroadcastJoined(int playerId, const char* name)
{
    NetPutString("Joined");
    NetPutInt(playerId);
    NetPutString(name);
    NetSendAll();
}

static void PutNewProjectile(int projectileId, float x, float y, float angle)
{
    NetPutString("NewProjectile");
    NetPutInt(projectileId);
    NetPutFloat(x);
    NetPutFloat(y);
    NetPutFloat(angle);
}

void BroadcastNewProjectile(int projectileId, float x, float y, float angle)
{
    PutNewProjectile(projectileId, x, y, angle);
    NetSendAll();
}

void SendNewProjectile(int to, int projectileId, float x, float y, float angle)
{
    PutNewProjectile(projectileId, x, y, angle);
    NetSend(to);
}

void BroadcastProjMove(int projectileId, float x, float y)
{
    NetPutString("ProjMove");
    NetPutInt(projectileId);
    NetPutFloat(x);
    NetPutFloat(y);
    NetSendAll();
}

void BroadcastProjDelete(int projectileId)
{
    NetPutString("ProjDelete");
    NetPutInt(projectileId);
    NetSendAll();
}

void BroadcastDead(int victimId, int shooterId)
{
    NetPutString("Dead");
    NetPutInt(victimId);
    NetPutInt(shooterId);
    NetSendAll();
}

void SendHealth(int to, int health)
{
    NetPutString("Health");
    NetPutInt(health);
    NetSend(to);
}

void SendLevelInfo(int to, int roomCount, int sizeX, int sizeY, int playerCount)
{
    NetPutString("LevelInfo");
    NetPutInt(roomCount);
    NetPutInt(sizeX);
    NetPutInt(sizeY);
    NetPutInt(playerCount);
    NetSend(to);
}

void SendRoomRecord(int to, int x, int y, int width, int height)
{
    NetPutInt(x);
    NetPutInt(y);
    NetPutInt(width);
    NetPutInt(height);
    NetSend(to);
}

void SendPlayer(int to, int playerId, const char* name, float x, float y, bool dead)
{
    NetPutString("Player");
    NetPutInt(playerId);
    NetPutString(name);
    NetPutFloat(x);
    NetPutFloat(y);
    NetPutByte(dead ? 1 : 0);
    NetPutInt(0);
    NetSend(to);
}

void SendPlayersDone(int to)
{
    NetPutString("PlayersDone");
    NetSend(to);
}

void SendProjDone(int to)
{
    NetPutString("ProjDone");
    NetSend(to);
}

} // namespace skirmish
