// The Skirmish server: asks five questions (or takes them as flags), lays out a level and hosts it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "app/fleet.h"
#include "app/startup.h"

int main(int argc, char** argv)
{
    // A standard descriptor closed at start would be taken by the next file opened
    // (a socket, say) and read as the console: each is opened on /dev/null instead.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return 1;
    // Standard input with a buffer of its own, not shared with C stdio: start-up can then
    // see what is left in it after the answers without waiting for more.
    std::ios_base::sync_with_stdio(false);
    skirmish::ServerOptions options;
    if (std::optional<int> status = skirmish::ParseServerOptions(argc, argv, options, std::cout, std::cerr))
        return *status;
    if (options.healthcheck)
        return skirmish::RunHealthCheck(options.port, std::cout);
    if (std::optional<int> status =
            skirmish::ReadFleetPort(std::getenv("AGONES_SDK_HTTP_PORT"), options.agonesPort, std::cerr))
        return *status;
    // Every ordinary end of the process tells the clients; after hosting's own farewell, nothing.
    std::atexit(skirmish::SayServerQuit);
    skirmish::ServerEnvironment environment{
        .in = std::cin, .options = options, .commandFd = STDIN_FILENO, .pause = skirmish::PauseForKey};
    return skirmish::RunServer(environment);
}
