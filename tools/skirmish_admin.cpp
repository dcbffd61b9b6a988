// skirmish-admin [--socket PATH | --instance NAME | PATH] COMMAND...: sends one command
// to a running server's admin socket and prints its answer. Exit status: 0 when the
// command ran, 1 when the server answered with an error, 2 when it could not be asked.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace {

// Where the packaged units put their sockets: skirmish.service's, and skirmish@NAME's.
constexpr const char* kDefaultSocket = "/run/skirmish/admin.sock";
std::string InstanceSocket(const std::string& name) { return "/run/skirmish/" + name + "/admin.sock"; }

// help2man makes the manual page from this text: its sections are the page's.
constexpr const char* kUsage =
    "Usage: skirmish-admin [--socket PATH | --instance NAME | PATH] COMMAND [ARGUMENTS...]\n"
    "Sends one operator's COMMAND to a running Skirmish server over its admin socket\n"
    "(skirmish-server --admin-socket PATH) and prints the server's answer.\n"
    "\n"
    "Options:\n"
    "  --socket PATH    the server's admin socket (default /run/skirmish/admin.sock,\n"
    "                   that of skirmish.service); a first argument with a / in it\n"
    "                   is taken as PATH too\n"
    "  --instance NAME  the socket of the instance skirmish@NAME.service,\n"
    "                   /run/skirmish/NAME/admin.sock\n"
    "  --help           this text, on standard output\n"
    "\n"
    "Commands (the command help asks the server for its own list):\n"
    "  status                      a line per player: id, name, address,\n"
    "                              transport, rtt, health, seconds connected\n"
    "  say TEXT                    every client reads TEXT from the server\n"
    "  kick ID [REASON]            ends the client's connection\n"
    "  ban WHO [MINUTES] [REASON]  refuses the address of WHO, a client's id or an\n"
    "                              address (0 or no minutes: forever)\n"
    "  unban ADDRESS               lifts a ban\n"
    "  bans                        the bans in force\n"
    "  stop                        ends hosting, as SIGTERM does\n"
    "\n"
    "Exit status:\n"
    "  0  the command ran (its answer is on standard output)\n"
    "  1  the server refused it (its answer, \"Error: ...\", is on standard error)\n"
    "  2  the server could not be asked, or the arguments are wrong: the command\n"
    "     did not run\n";

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
    int first = 1;
    std::string path = kDefaultSocket;
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kUsage;
        return 0;
    }
    const bool bySocket = argc > 2 && std::strcmp(argv[1], "--socket") == 0;
    const bool byInstance = argc > 2 && std::strcmp(argv[1], "--instance") == 0;
    if (bySocket || byInstance) {
        path = bySocket ? argv[2] : InstanceSocket(argv[2]);
        first = 3;
    } else if (argc > 1 && std::strchr(argv[1], '/')) {
        path = argv[1];
        first = 2;
    }
    if (first >= argc || argv[first][0] == '-') {
        std::cerr << kUsage;
        return 2;
    }
    std::string line;
    for (int i = first; i < argc; ++i) {
        if (std::strchr(argv[i], '\n'))
            return Fail("a command is one line: no line end in the arguments");
        if (i > first)
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
