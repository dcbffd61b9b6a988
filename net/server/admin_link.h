#pragma once

#include <chrono>
#include <deque>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "net/server/net.h"

namespace skirmish {

// A command line longer than this is refused whole.
constexpr size_t kMaxAdminLineBytes = 4096;
// Socket connections served at once. Past that, one silent this long gives way to a
// new one; with none such, the new one is told so and closed.
constexpr int kMaxAdminConnections = 8;
constexpr std::chrono::seconds kAdminIdle{30};
// An answer a socket connection leaves unread past this ends that connection, its
// lines not yet run dropped.
constexpr size_t kMaxAdminBacklogBytes = 4 * 1024 * 1024;

// Operators' commands, one a line, from the server's standard input and from a Unix
// socket; each answer goes back where its line came from (standard input's to the
// console). Nothing here waits: the loop's one wait watches wakes().
class AdminLink {
public:
    static constexpr int kStandardInput = 0;
    struct Line {
        int from = kStandardInput; // kStandardInput, or a socket connection's number
        std::string text;          // without its line end
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
    // Accepts and reads what is ready, without waiting.
    void service();
    // A line taken is owed an answer (empty, for one that asks nothing): its
    // connection stays open for it, however long that takes.
    bool take(Line& line);
    // Text of whole lines, sent back to where the line came from.
    void answer(int from, std::string_view text);
    // After the lines taken are answered: writes what it can, and closes each
    // connection whose input ended once it has its answers.
    void settle();
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
    struct Connection {
        Reader reader;
        std::string output;
        bool inputEnded = false;
        int owed = 0; // lines taken and not yet answered: the connection stays for them
        std::chrono::steady_clock::time_point lastHeard;
    };

    // Reads what fd has ready into lines from `from`; false at its end or on an error.
    bool readReady(Reader& reader, int from);
    void addBytes(Reader& reader, int from, std::string_view bytes);
    void acceptReady();
    void reply(int from, std::string_view text);
    // Closes a connection and drops its lines not yet run.
    void end(int number);
    void writeReady(Connection& connection);

    Reader stdin_;
    int listener_ = -1;
    std::string path_;
    int nextNumber_ = 1;
    std::map<int, Connection> connections_; // by number
    std::deque<Line> lines_;
};

} // namespace skirmish
