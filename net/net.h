#pragma once

#include <cstdint>
#include <memory>

namespace skirmish {

class Transport;

// The server's network library: plain free functions over one process-wide host.
void NetSetPort(uint16_t port);
bool NetHost(int playerCount);
void NetGetError(char* buffer, uint32_t size);
bool NetConnected();
int NetPlayerJoined();
void NetGetPlayerIP(int id, char* buffer, uint32_t size);
int NetPlayerLeft();
bool NetGetMessage();
void NetGetString(char* buffer, uint32_t size);
int NetGetInt();
float NetGetFloat();
uint8_t NetGetByte();
int NetMessageFrom();
void NetPutString(const char* text);
void NetPutInt(int value);
void NetPutFloat(float value);
void NetPutByte(uint8_t value);
void NetSend(int id);
void NetSendAll();

// Sends what is packed and handles arrived traffic, waiting up to timeoutMs when
// nothing is pending. The main loop's only wait.
void NetService(int timeoutMs);
// Sends what is packed, then takes in traffic for timeoutMs whatever arrives, so
// that a busy loop handles input in batches rather than one message a pass.
void NetCollect(int timeoutMs);
// Delivers what is queued, disconnects every client and closes the host.
void NetShutdown();
// Makes NetConnected false from now on; safe to call from a signal handler.
void NetRequestStop();
// The UDP port the host is bound to (tests host on port 0).
uint16_t NetBoundPort();

// Replaces the transport that the next NetHost opens (the in-memory one in tests),
// and clears every queue and id. nullptr goes back to ENet.
void NetUseTransport(std::unique_ptr<Transport> transport);

} // namespace skirmish
