#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/ban_list.h"
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
class Admin {
public:
    // wallSeconds: seconds since 1970 UTC, for the bans' times.
    Admin(BanList& bans, std::function<int64_t()> wallSeconds)
        : bans_(bans), wallSeconds_(std::move(wallSeconds))
    {
    }

    AdminLink& link() { return link_; }
    // The skill the status line shows for a bot's id ("" for none).
    std::function<std::string_view(int id)> botSkillOf = [](int) { return std::string_view(); };
    const AdminCounts& counts() const { return counts_; }

    // A step of the loop's pass: runs every command line waiting, in order, and sets
    // what the next wait watches. True when there was one.
    bool runCommands(Level& level, int32_t now, Outbox& out);
    // For the network layer's check at each connect: whether the address is banned.
    // Each banned address's refusal is written at most once a minute.
    bool refuses(const std::string& address);

private:
    BanList& bans_;
    std::function<int64_t()> wallSeconds_;
    AdminLink link_;
    AdminCounts counts_;
};

} // namespace skirmish
