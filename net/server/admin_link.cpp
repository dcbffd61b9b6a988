#include "net/server/admin_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/console.h"

namespace skirmish {
namespace {

constexpr size_t kReadChunk = 4096;
// A file given as standard input is read at start up to this, then no further.
constexpr size_t kMostFileInput = 1024 * 1024;

// Whether a read of fd waits for its writer: a pipe, a socket or a terminal. Anything
// else (a file, /dev/null) has what it will ever have at hand.
bool WaitsForWriter(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return false;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || isatty(fd);
}

// What a stream's buffer already holds, taken without reading its source any further.
struct BufferAccess : std::streambuf {
    static std::string Take(std::streambuf& buffer)
    {
        auto at = &BufferAccess::gptr;
        auto end = &BufferAccess::egptr;
        std::string held(static_cast<size_t>((buffer.*end)() - (buffer.*at)()), '\0');
        buffer.sgetn(held.data(), static_cast<std::streamsize>(held.size()));
        return held;
    }
};
std::string TakeBuffered(std::streambuf& buffer) { return BufferAccess::Take(buffer); }

bool Readable(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

bool FillAddress(const std::string& path, sockaddr_un& address, std::string& error)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the path must be 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes";
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// A socket file left by a server that is gone answers nobody.
bool SomeoneAnswers(const sockaddr_un& address)
{
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answered;
}

} // namespace

void AdminLink::readStandardInput(std::istream& in, int fd)
{
    addBytes(stdin_, kStandardInput, TakeBuffered(*in.rdbuf()));
    stdin_.fd = -1;
    if (fd < 0)
        return;
    if (WaitsForWriter(fd)) {
        stdin_.fd = fd;
        return;
    }
    char chunk[kReadChunk];
    ssize_t got = 0;
    for (size_t total = 0; total < kMostFileInput && (got = read(fd, chunk, sizeof chunk)) > 0;
         total += static_cast<size_t>(got))
        addBytes(stdin_, kStandardInput, {chunk, static_cast<size_t>(got)});
    if (!stdin_.partial.empty())
        addBytes(stdin_, kStandardInput, "\n");
}

bool AdminLink::listen(const std::string& path, std::string& error)
{
    sockaddr_un address;
    if (!FillAddress(path, address, error))
        return false;
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        if (SomeoneAnswers(address)) {
            error = "another server answers on " + path;
            return false;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // Only the server's own user may command it: the file is made 0600 as it is bound.
    mode_t previous = umask(0177);
    bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    umask(previous);
    if (!bound || ::listen(fd, kMaxAdminConnections) != 0) {
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        if (bound)
            unlink(path.c_str());
        return false;
    }
    listener_ = fd;
    path_ = path;
    return true;
}

bool AdminLink::listenHttp(const std::string& address, uint16_t port, std::vector<AdminToken> tokens,
                           std::string& error)
{
    auto http = std::make_unique<AdminHttp>(std::move(tokens));
    if (!http->open(address, port, error))
        return false;
    http_ = std::move(http);
    return true;
}

void AdminLink::service()
{
    if (stdin_.fd >= 0 && Readable(stdin_.fd) && !readReady(stdin_, kStandardInput))
        stdin_.fd = -1;
    acceptReady();
    if (http_)
        for (AdminHttp::Request& request : http_->take()) {
            httpAsked_[nextNumber_] = request.id;
            lines_.push_back({nextNumber_++, std::move(request.line), std::move(request.who), std::move(request.role)});
        }
    for (auto& [number, connection] : connections_) {
        if (connection.inputEnded || !Readable(connection.reader.fd))
            continue;
        connection.inputEnded = !readReady(connection.reader, number);
        connection.lastHeard = std::chrono::steady_clock::now();
    }
}

bool AdminLink::settle()
{
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& connection = it->second;
        writeReady(it->first, connection);
        if (!(connection.inputEnded && connection.output.empty() && connection.outlet.queued.empty() &&
              connection.owed == 0)) {
            ++it;
            continue;
        }
        ::close(connection.reader.fd);
        it = connections_.erase(it);
    }
    // The console takes a streamed answer a piece a pass, like a socket.
    std::string piece;
    Pump(console_, piece, kAdminStreamLowWater);
    if (!piece.empty())
        ConsoleStream() << piece << std::flush;
    return !console_.queued.empty();
}

bool AdminLink::readReady(Reader& reader, int from)
{
    char chunk[kReadChunk];
    ssize_t got = read(reader.fd, chunk, sizeof chunk);
    if (got > 0)
        addBytes(reader, from, {chunk, static_cast<size_t>(got)});
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (got <= 0 && !reader.partial.empty())
        addBytes(reader, from, "\n"); // the last line needs no line end
    return got > 0;
}

void AdminLink::addBytes(Reader& reader, int from, std::string_view bytes)
{
    for (char byte : bytes) {
        if (byte == '\n') {
            if (!reader.partial.empty() && reader.partial.back() == '\r')
                reader.partial.pop_back();
            if (reader.overlong)
                reply(from, {"Error: the command is longer than " + std::to_string(kMaxAdminLineBytes) + " bytes\n", {}});
            else
                queueLine(from, std::move(reader.partial));
            reader.partial.clear();
            reader.overlong = false;
        } else if (reader.partial.size() < kMaxAdminLineBytes) {
            reader.partial += byte;
        } else {
            reader.overlong = true;
        }
    }
}

// At the cap, a connection silent for kAdminIdleSeconds gives way to a new one;
// with none such the new one is told so and closed, so an operator always hears why.
void AdminLink::acceptReady()
{
    const auto now = std::chrono::steady_clock::now();
    for (int fd; listener_ >= 0 && (fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        if (static_cast<int>(connections_.size()) >= kMaxAdminConnections) {
            // Never one with a command running: every command is answered, or not run.
            auto idle = std::find_if(connections_.begin(), connections_.end(), [&](const auto& entry) {
                const Connection& c = entry.second;
                return c.running == 0 && c.output.empty() && c.outlet.queued.empty() && now - c.lastHeard > kAdminIdle;
            });
            if (idle == connections_.end()) {
                constexpr std::string_view kBusy = "Error: every operator connection is in use; try again\n";
                [[maybe_unused]] ssize_t sent = send(fd, kBusy.data(), kBusy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                ::close(fd);
                continue;
            }
            if (idle->second.owed > 0) {
                constexpr std::string_view kGaveWay =
                    "Error: this connection gave way to a new one after 30 s of silence; its commands were not run\n";
                [[maybe_unused]] ssize_t sent =
                    send(idle->second.reader.fd, kGaveWay.data(), kGaveWay.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            }
            end(idle->first);
        }
        Connection& connection = connections_[nextNumber_++];
        connection.reader.fd = fd;
        connection.lastHeard = now;
        ucred peer{};
        socklen_t size = sizeof peer;
        connection.who = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
                             ? "socket:uid=" + std::to_string(peer.uid) + ",pid=" + std::to_string(peer.pid)
                             : "socket";
    }
}

void AdminLink::queueLine(int from, std::string text)
{
    auto connection = connections_.find(from);
    lines_.push_back({from, std::move(text), connection != connections_.end() ? connection->second.who : "console", ""});
    if (connection != connections_.end())
        ++connection->second.owed;
}

void AdminLink::dropLines(int number)
{
    auto connection = connections_.find(number);
    size_t dropped = std::erase_if(lines_, [&](const Line& line) { return line.from == number; });
    if (connection != connections_.end())
        connection->second.owed -= static_cast<int>(dropped);
}

void AdminLink::end(int number)
{
    auto connection = connections_.find(number);
    if (connection == connections_.end())
        return;
    ::close(connection->second.reader.fd);
    connections_.erase(connection);
    std::erase_if(lines_, [&](const Line& line) { return line.from == number; });
}

void AdminLink::Pump(Outlet& outlet, std::string& output, size_t lowWater)
{
    while (output.size() < lowWater && !outlet.queued.empty()) {
        Pending& next = outlet.queued.front();
        output += next.text;
        outlet.queuedBytes -= next.text.size();
        next.text.clear();
        if (next.more && next.more(output))
            continue;
        outlet.queued.pop_front();
    }
}

void AdminLink::writeReady(int number, Connection& connection)
{
    for (;;) {
        Pump(connection.outlet, connection.output, kAdminStreamLowWater);
        if (connection.output.empty())
            return;
        ssize_t sent = send(connection.reader.fd, connection.output.data(), connection.output.size(),
                            MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno == EAGAIN)
            break;
        if (sent <= 0) { // the operator's end went away: what it sent and is not yet run is not run
            connection.output.clear();
            connection.outlet = {};
            connection.inputEnded = true;
            dropLines(number);
            return;
        }
        connection.output.erase(0, static_cast<size_t>(sent));
    }
}

bool AdminLink::take(Line& line)
{
    // One that leaves its answers unread has its next lines wait, not run, until it reads.
    auto ready = std::find_if(lines_.begin(), lines_.end(), [&](const Line& waiting) {
        auto connection = connections_.find(waiting.from);
        return connection == connections_.end() ||
               connection->second.output.size() + connection->second.outlet.queuedBytes <= kMaxAdminBacklogBytes;
    });
    if (ready == lines_.end())
        return false;
    line = std::move(*ready);
    lines_.erase(ready);
    if (auto connection = connections_.find(line.from); connection != connections_.end())
        ++connection->second.running;
    return true;
}

void AdminLink::answer(int from, std::string_view text) { answerStream(from, nullptr, text); }

void AdminLink::refuse(int from, std::string_view text)
{
    if (auto asked = httpAsked_.find(from); asked != httpAsked_.end()) {
        http_->answer(asked->second, 403, std::string(text));
        httpAsked_.erase(asked);
        return;
    }
    answer(from, text);
}

void AdminLink::answerStream(int from, AnswerPiece next, std::string_view text)
{
    if (auto asked = httpAsked_.find(from); asked != httpAsked_.end()) {
        http_->answer(asked->second, 200, std::string(text), std::move(next));
        httpAsked_.erase(asked);
        return;
    }
    if (auto connection = connections_.find(from); connection != connections_.end()) {
        connection->second.owed -= connection->second.owed > 0;
        connection->second.running -= connection->second.running > 0;
    }
    reply(from, {std::string(text), std::move(next)});
}

void AdminLink::reply(int from, Pending pending)
{
    Outlet* outlet = &console_;
    if (from != kStandardInput) {
        auto connection = connections_.find(from);
        if (connection == connections_.end())
            return;
        outlet = &connection->second.outlet;
    } else if (console_.queued.empty() && !pending.more) {
        ConsoleStream() << pending.text << std::flush;
        return;
    }
    outlet->queuedBytes += pending.text.size();
    outlet->queued.push_back(std::move(pending));
}

std::vector<Wake> AdminLink::wakes() const
{
    // Connection numbers are never reused; the listener and standard input take the two below them.
    std::vector<Wake> wakes;
    if (stdin_.fd >= 0)
        wakes.push_back({stdin_.fd, false, 0});
    if (listener_ >= 0)
        wakes.push_back({listener_, false, 1});
    if (http_)
        wakes.push_back(http_->wake());
    for (const auto& [number, connection] : connections_) {
        const auto token = static_cast<uint64_t>(number) + 1;
        if (!connection.inputEnded)
            wakes.push_back({connection.reader.fd, false, token});
        if (!connection.output.empty() || !connection.outlet.queued.empty())
            wakes.push_back({connection.reader.fd, true, token});
    }
    return wakes;
}

void AdminLink::close()
{
    for (auto& [number, connection] : connections_)
        ::close(connection.reader.fd);
    connections_.clear();
    http_.reset();
    httpAsked_.clear();
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
        unlink(path_.c_str());
    }
    stdin_.fd = -1;
}

} // namespace skirmish
