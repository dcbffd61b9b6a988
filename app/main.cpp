// The Skirmish server: asks five questions, lays out a level and hosts it on UDP 23987.
#include <cstdlib>
#include <iostream>

#include "app/startup.h"
#include "net/net.h"
#include "protocol/messages.h"

namespace {

// Every ordinary end of the process tells the clients, then closes the host so the message reaches them.
void OnProcessExit()
{
    skirmish::NetSendAll(skirmish::message::ServerQuit());
    skirmish::NetShutdown();
}

} // namespace

int main()
{
    std::atexit(OnProcessExit);
    skirmish::ServerEnvironment environment{.in = std::cin, .pause = skirmish::PauseForKey};
    return skirmish::RunServer(environment);
}
