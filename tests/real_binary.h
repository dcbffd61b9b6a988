#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <future>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/client/client.h"
#include "protocol/messages.h"
#include "temp_dir.h"
#include "within.h"

namespace skirmish::testing {

// The real server binary in a child process, its console piped both ways.
class ServerProcess {
public:
    // argv[0] is the program (the server, or a wrapper such as faketime); environment adds NAME=value entries.
    explicit ServerProcess(std::vector<std::string> argv, std::vector<std::string> environment = {})
    {
        ::signal(SIGPIPE, SIG_IGN); // a server that ended must fail a test, not kill it
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0); // its own group, so a wrapper's children end with it
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(in[1]);
            close(out[0]);
            for (std::string& entry : environment)
                putenv(entry.data());
            std::vector<char*> args;
            for (std::string& arg : argv)
                args.push_back(arg.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        outputFd_ = out[0];
        fcntl(outputFd_, F_SETFL, O_NONBLOCK);
    }

    ~ServerProcess()
    {
        if (pid_ > 0 && !exitStatus_) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (input_ >= 0)
            close(input_);
        if (outputFd_ >= 0)
            close(outputFd_);
    }

    void type(const std::string& text) { [[maybe_unused]] ssize_t written = write(input_, text.data(), text.size()); }
    void closeInput() { close(std::exchange(input_, -1)); }

    // Reads console output until it contains text or the time runs out.
    bool waitForOutput(const std::string& text, int timeoutMs = 5000)
    {
        return Within(timeoutMs, [&] { return console_.find(text) != std::string::npos || (readSome(10), false); });
    }

    const std::string& output() { return readSome(0), console_; }

    void signal(int number) { kill(pid_, number); }

    // The exit status, once the process has ended within the time.
    std::optional<int> waitForExit(int timeoutMs = 5000)
    {
        Within(timeoutMs, [&] {
            int status = 0;
            if (!exitStatus_ && waitpid(pid_, &status, WNOHANG) == pid_)
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_ || (readSome(10), false);
        });
        readSome(0);
        return exitStatus_;
    }

private:
    void readSome(int timeoutMs)
    {
        pollfd fd{outputFd_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0)
            return;
        char buffer[4096];
        ssize_t got;
        while ((got = read(outputFd_, buffer, sizeof buffer)) > 0)
            console_.append(buffer, static_cast<size_t>(got));
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int outputFd_ = -1;
    std::string console_;
    std::optional<int> exitStatus_;
};

// A port that nothing on this machine is bound to right now, over UDP (the game) and
// TCP (the web front) alike, for a test's own server.
inline uint16_t FreeUdpPort()
{
    namespace ip = boost::asio::ip;
    for (boost::asio::io_context io;;) {
        ip::udp::socket udp(io, {ip::udp::v4(), 0});
        boost::system::error_code taken;
        ip::tcp::socket tcp(io, ip::tcp::v4());
        tcp.bind({ip::tcp::v4(), udp.local_endpoint().port()}, taken);
        if (!taken)
            return udp.local_endpoint().port();
    }
}

// The real server on a free port of its own, started with flags (no questions asked),
// recording into a folder of its own and keeping its bans and admin socket in another.
struct RealServer {
    explicit RealServer(std::vector<std::string> flags = {"--players", "4", "--width", "10", "--height", "10",
                                                          "--rooms", "2", "--weapons", "1"},
                        std::vector<std::string> environment = {})
        : process(Command(std::move(flags), port, demos.path, state.path), std::move(environment))
    {
        started = process.waitForOutput("Server Started. Awaiting players...\n", 10000);
    }
    static std::vector<std::string> Command(std::vector<std::string> flags, uint16_t port, const std::string& demoDir,
                                            const std::string& stateDir)
    {
        flags.insert(flags.begin(), SKIRMISH_SERVER_BINARY);
        flags.insert(flags.end(), {"--port", std::to_string(port), "--demo-dir", demoDir, "--ban-file",
                                   stateDir + "/bans.txt", "--admin-socket", stateDir + "/admin.sock"});
        return flags;
    }
    std::string socket() const { return state.path + "/admin.sock"; }
    uint16_t port = FreeUdpPort();
    TempDir demos;
    TempDir state;
    ServerProcess process;
    bool started = false;
};

// The body of GET path (of its bytes from an offset on, with a range) from the web
// front on port, or "" when nothing answers 2xx.
inline std::string HttpGet(uint16_t port, const std::string& path, const std::string& range = "")
{
    ServerProcess curl({"curl", "-sf", "--path-as-is", "--max-time", "5", "-r", range.empty() ? "0-" : range,
                        "http://127.0.0.1:" + std::to_string(port) + path});
    return curl.waitForExit(6000) == 0 ? curl.output() : "";
}

// A client that keeps every message it was sent, as text.
struct Player {
    NetClient client;
    std::vector<std::string> got;
    std::optional<KeptServiced> kept; // from its first connect on

    // A connect blocks until the server answers, so it runs aside while the other clients are serviced.
    bool connect(uint16_t port, bool websocket = false, Role role = Role::Player, int timeoutMs = 3000)
    {
        kept.reset();
        auto connecting = std::async(std::launch::async, [&] {
            return websocket ? client.connectWebSocket("127.0.0.1", port, timeoutMs, role)
                             : client.connect("127.0.0.1", port, timeoutMs, 1, role);
        });
        Pause(timeoutMs + 5000,
              [&] { return connecting.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        const bool up = connecting.get();
        kept.emplace([this] { client.service(0); });
        return up;
    }
    void send(const MessageWriter& message)
    {
        client.send(message);
        client.service(0);
    }
    void drain()
    {
        client.service(1);
        while (client.nextMessage())
            got.push_back(client.current().describe());
    }
    // Services until a message starting with prefix arrives; returns it, or "" on time-out.
    std::string waitFor(const std::string& prefix, int timeoutMs = 5000)
    {
        size_t seen = got.size();
        Within(timeoutMs, [&] {
            for (drain(); seen < got.size(); ++seen)
                if (got[seen].rfind(prefix, 0) == 0)
                    return true;
            return false;
        });
        return seen < got.size() ? got[seen] : "";
    }
    // Connects, names itself and returns the server's "Joined" for that name, or "".
    std::string join(uint16_t port, const std::string& name, bool websocket = false)
    {
        if (!connect(port, websocket))
            return "";
        send(command::Name(name));
        for (std::string joined; !(joined = waitFor("Joined ")).empty();)
            if (joined.ends_with(" " + name))
                return joined;
        return "";
    }
    // Drains first: what came before the loss may already be queued by the servicing of another wait.
    bool waitForLoss(int timeoutMs = 3000)
    {
        return Within(timeoutMs, [&] { return drain(), client.lostConnection(); });
    }
};

} // namespace skirmish::testing
