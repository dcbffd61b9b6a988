#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "app/ban_list.h"
#include "app/disk_writer.h"
#include "game/level.h"
#include "game/outbox.h"
#include "net/server/admin_link.h"

namespace skirmish {

class EventLog;

// What the operators did, for the metrics.
struct AdminCounts {
    uint64_t kicks = 0;
    uint64_t bans = 0;
};

// The operators' console: status, say, kick, ban, unban, bans, stop and help, as
// lines from the admin link, each answered where it came from. Answers are plain
// text, a line a record; a command that cannot run gets one line starting "Error: ".
// The ban file is written and read again on a thread of its own: a change to the
// bans is in force at once, and its answer (and what it does to connections) waits
// until the file is on disk, the lines after it waiting their turn; the pass never
// waits, and only ever swaps in a table the disk thread finished.
class Admin;
// The operators' commands of this match over its bans: from standard input, and from
// the socket at socketPath when one is given; every connection is checked against the
// bans from now on. Null, said on the console, when the socket cannot be opened.
std::unique_ptr<Admin> StartModeration(BanList& bans, std::function<int64_t()> wallSeconds, const std::string& banFile,
                                       const std::string& socketPath);

class Admin {
public:
    // wallSeconds: seconds since 1970 UTC, for the bans' times. banFileName: the
    // file as the operator named it, for the console.
    Admin(BanList& bans, std::function<int64_t()> wallSeconds, DiskIo& io = SystemDisk(), std::string banFileName = "")
        : bans_(bans), wallSeconds_(std::move(wallSeconds)),
          banFileName_(banFileName.empty() ? bans.path() : std::move(banFileName)), writer_(io)
    {
    }

    AdminLink& link() { return link_; }
    // The skill the status line shows for a bot's id ("" for none).
    std::function<std::string_view(int id)> botSkillOf = [](int) { return std::string_view(); };
    const AdminCounts& counts() const { return counts_; }
    // events: told of kicks, bans, unbans and says (null: none). audit: every command
    // line, with who gave it (null: the console).
    void logTo(EventLog* events, EventLog* audit)
    {
        events_ = events;
        audit_ = audit;
    }

    // A step of the loop's pass: takes what the ban file's writer finished, starts
    // a reload when one was asked for, runs every command line waiting, in order,
    // and sets what the next wait watches. True when any of that happened.
    bool runCommands(Level& level, int32_t now, Outbox& out);
    // For the network layer's check at each connect: whether the address is banned.
    // Each banned address's refusal is written at most once a minute.
    bool refuses(const std::string& address);
    // The ban file is read again at the next pass when asked() says so (SIGHUP);
    // wake ends the loop's wait for it.
    void reloadWhen(std::function<bool()> asked, Wake wake)
    {
        reloadAsked_ = std::move(asked);
        reloadWake_ = wake;
    }
    // Waits for the ban file's writer: for tests, which look at the file between passes.
    void settle() { writer_.drain(); }

    struct Reply {
        int from = 0;
        std::string text;
        bool staged = false; // stands only if the file is written
        bool refused = false; // its giver's role may not give it
        AdminLink::AnswerPiece stream; // the rest of the answer, made as it is read
    };
    // One batch of commands whose answers wait for the file.
    struct Batch {
        std::vector<Reply> replies;
        std::vector<std::function<void(Outbox&)>> afterSave;
    };

private:
    struct Reread {
        std::shared_ptr<const BanTable> table; // null when the file could not be read
        std::string error;
    };
    bool finishWork(Outbox& out);
    void answer(Batch& batch, const BanMerge& written, Outbox& out);
    // A reload's outcome on the console; during a storm of them, a line a second at most.
    void sayReloaded(const std::string& line);
    void audit(const AdminLink::Line& line, bool allowed);
    // A table no longer looked at is freed on the disk thread: a million bans take a while.
    void letGo(std::shared_ptr<const BanTable> table);

    BanList& bans_;
    std::function<int64_t()> wallSeconds_;
    std::string banFileName_;
    AdminLink link_;
    AdminCounts counts_;
    EventLog* events_ = nullptr;
    EventLog* audit_ = nullptr;
    std::function<bool()> reloadAsked_;
    std::optional<Wake> reloadWake_;
    bool reloadPending_ = false; // one more reload asked while one is under way
    std::optional<Batch> saving_; // a batch whose file is being written
    bool reloading_ = false;
    int64_t lastReloadLine_ = INT64_MIN;
    int reloadsUnsaid_ = 0;
    std::string lastReloadSaid_;
    std::unordered_map<std::string, int64_t> refusalLogged_; // when each address's refusal was last written
    // Held by the jobs too: a job the exit leaves to a stuck disk may finish later.
    std::shared_ptr<Mailbox<BanMerge>> written_ = std::make_shared<Mailbox<BanMerge>>();
    std::shared_ptr<Mailbox<Reread>> reread_ = std::make_shared<Mailbox<Reread>>();
    DiskWriter writer_; // last: its thread ends before what its jobs touch
};

} // namespace skirmish
