#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "net/server/admin_http.h"
#include "net/server/net.h"

namespace skirmish {

// A command line longer than this is refused whole.
constexpr size_t kMaxAdminLineBytes = 4096;
// Socket connections served at once. Past that, one silent this long gives way to a
// new one; with none such, the new one is told so and closed.
constexpr int kMaxAdminConnections = 8;
constexpr std::chrono::seconds kAdminIdle{30};
// While a socket connection leaves more answers than this unread, its next lines wait
// (they are not run) until it reads.
constexpr size_t kMaxAdminBacklogBytes = 4 * 1024 * 1024;
// A streamed answer is asked for its next piece once less than this waits to be sent.
constexpr size_t kAdminStreamLowWater = 64 * 1024;

// Operators' commands, one a line, from the server's standard input and from a Unix
// socket; each answer goes back where its line came from (standard input's to the
// console). Nothing here waits: the loop's one wait watches wakes().
class AdminLink {
public:
    static constexpr int kStandardInput = 0;
    struct Line {
        int from = kStandardInput; // kStandardInput, or a socket connection's number
        std::string text;          // without its line end
        std::string who;           // who gave it, for the audit: "console", "socket:uid=…", "http:NAME@ADDRESS"
        std::string role;          // over HTTP, the token's; "" from the host itself, who may do anything
    };

    AdminLink() = default;
    ~AdminLink() { close(); }
    AdminLink(const AdminLink&) = delete;
    AdminLink& operator=(const AdminLink&) = delete;

    // Takes lines from in: first what its buffer already holds, then from descriptor
    // fd (-1: none). A pipe or a terminal is read as lines come; anything else (a
    // file, /dev/null) is read through now. The input's end changes nothing else.
    void readStandardInput(std::istream& in, int fd);
    // Listens on a Unix socket at path, mode 0600. A socket file nobody answers on is
    // replaced; anything else at path is an error, left as it is.
    bool listen(const std::string& path, std::string& error);
    // Also takes commands over HTTP (admin_http.h) on address:port (0: any free port).
    bool listenHttp(const std::string& address, uint16_t port, std::vector<AdminToken> tokens, std::string& error);
    uint16_t httpPort() const { return http_ ? http_->port() : 0; }
    // Accepts and reads what is ready, without waiting.
    void service();
    // A line read is owed an answer (empty, for one that asks nothing): its connection
    // stays open for it, however long it waits to be taken and run. Lines of a
    // connection that leaves kMaxAdminBacklogBytes of answers unread wait their turn.
    bool take(Line& line);
    // Text of whole lines, sent back to where the line came from.
    void answer(int from, std::string_view text);
    // The answer to a line its giver may not give: over HTTP a 403, elsewhere an answer like any.
    void refuse(int from, std::string_view text);
    // Appends the answer's next piece to `to`; false once that was the last.
    using AnswerPiece = std::function<bool(std::string& to)>;
    // An answer of any length, made a piece at a time as its reader takes it, so that
    // neither the pass nor the backlog holds it whole.
    // text goes ahead of the pieces.
    void answerStream(int from, AnswerPiece next, std::string_view text = {});
    // After the lines taken are answered: writes what it can, and closes each
    // connection whose input ended once it has its answers. True while the console
    // still has a streamed answer to write (it has no descriptor to wake the loop).
    bool settle();
    // What the loop's next wait should also end on.
    std::vector<Wake> wakes() const;
    // Closes every connection and removes the socket file.
    void close();

private:
    struct Reader {
        int fd = -1;
        std::string partial; // a line not yet ended
        bool overlong = false; // the line being read passed the limit: dropped up to its end
    };
    struct Pending {
        std::string text;
        AnswerPiece more; // set for a streamed answer
    };
    // Answers behind the one being written, in order.
    struct Outlet {
        std::deque<Pending> queued;
        size_t queuedBytes = 0;
    };
    struct Connection {
        Reader reader;
        std::string output;
        Outlet outlet;
        bool inputEnded = false;
        int owed = 0;    // lines read and not yet answered: the connection stays for them
        int running = 0; // of those, lines taken and not yet answered
        std::chrono::steady_clock::time_point lastHeard;
        std::string who;
    };

    // Reads what fd has ready into lines from `from`; false at its end or on an error.
    bool readReady(Reader& reader, int from);
    void addBytes(Reader& reader, int from, std::string_view bytes);
    void acceptReady();
    void reply(int from, Pending pending);
    void queueLine(int from, std::string text);
    // Moves queued answers into output while less than the low water waits there.
    static void Pump(Outlet& outlet, std::string& output, size_t lowWater);
    // Drops a connection's lines not yet taken: they are not run.
    void dropLines(int number);
    // Closes a connection and drops its lines not yet run.
    void end(int number);
    void writeReady(int number, Connection& connection);

    Reader stdin_;
    int listener_ = -1;
    std::string path_;
    int nextNumber_ = 1;
    std::map<int, Connection> connections_; // by number
    std::deque<Line> lines_;
    Outlet console_; // standard input's streamed answers, written to the console
    std::unique_ptr<AdminHttp> http_;
    std::map<int, uint64_t> httpAsked_; // a line's number to its HTTP request's id
};

} // namespace skirmish
