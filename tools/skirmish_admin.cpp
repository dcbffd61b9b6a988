// skirmish-admin PATH COMMAND...: sends one command to a running server's admin
// socket and prints its answer. Exit status: 0 when the command ran, 1 when the
// server answered with an error, 2 when it could not be asked.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr const char* kUsage = "Usage: skirmish-admin PATH COMMAND [ARGUMENTS...]\n"
                               "Sends COMMAND to the server whose admin socket is PATH; \"help\" lists the commands.\n"
                               "Exit status: 0 when the command ran, 1 when the server answered with an error,\n"
                               "2 when it could not be asked (then the command was not run).\n";

int Fail(const std::string& why)
{
    std::cerr << "skirmish-admin: " << why << "\n";
    return 2;
}

bool SendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << kUsage;
        return 2;
    }
    const std::string path = argv[1];
    std::string line;
    for (int i = 2; i < argc; ++i) {
        if (std::strchr(argv[i], '\n'))
            return Fail("a command is one line: no line end in the arguments");
        if (i > 2)
            line += ' ';
        line += argv[i];
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return Fail("the socket path is too long: " + path);
    std::memcpy(address.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fail("cannot reach a server at " + path + ": " + std::strerror(errno));
    // The server answers, then closes once our end is shut.
    if (!SendAll(fd, line + "\n") || shutdown(fd, SHUT_WR) != 0)
        return Fail("cannot send to " + path + ": " + std::strerror(errno));
    std::string answer;
    char chunk[4096];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail("the answer was cut short: " + std::string(std::strerror(errno)));
        answer.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    if (answer.empty())
        return Fail("the server closed the connection without an answer: the command was not run, unless the server "
                    "stopped meanwhile");
    const bool error = answer.rfind("Error: ", 0) == 0;
    (error ? std::cerr : std::cout) << answer << std::flush;
    return error ? 1 : 0;
}
