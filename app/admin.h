#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ban_list.h"
#include "app/disk_writer.h"
#include "game/level.h"
#include "game/outbox.h"
#include "net/server/admin_link.h"

namespace skirmish {

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
// until the file is on disk, the lines after it waiting their turn; the pass never waits.
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

    // One batch of commands whose answers wait for the file.
    struct Batch {
        std::vector<std::pair<int, std::string>> answers; // where from, what
        std::vector<bool> staged;                          // stands only if the file is written
        std::vector<std::function<void(Outbox&)>> afterSave;
        BanFile file;
    };

private:
    struct Written {
        bool saved = false;
        std::string error;
    };
    struct Reread {
        bool read = false;
        BanFile file;
        std::string error;
    };
    bool finishWork(Outbox& out);
    void answer(Batch& batch, const Written& written, Outbox& out);

    BanList& bans_;
    std::function<int64_t()> wallSeconds_;
    std::string banFileName_;
    AdminLink link_;
    AdminCounts counts_;
    std::function<bool()> reloadAsked_;
    std::optional<Wake> reloadWake_;
    bool reloadPending_ = false;
    std::optional<Batch> saving_; // a batch whose file is being written
    bool reloading_ = false;
    Mailbox<Written> written_;
    Mailbox<Reread> reread_;
    DiskWriter writer_; // last: its thread ends before what its jobs touch
};

} // namespace skirmish
