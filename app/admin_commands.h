#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ban_list.h"
#include "game/level.h"
#include "game/outbox.h"
#include "net/server/admin_link.h"

namespace skirmish {

struct AdminCounts;
class EventLog;

// A change to the bans is in force at once but acknowledged only once the pass's
// one write of the list has succeeded; what it does to connections waits for that too.
struct Context {
    Level& level;
    int32_t now;
    Outbox& out;
    BanList& bans;
    int64_t wallNow;
    AdminCounts& counts;
    std::vector<std::function<void(Outbox&)>>& afterSave;
    const std::function<std::string_view(int)>& botSkillOf;
    EventLog* events = nullptr; // told of each kick, ban, unban and say, with who gave it
    std::string who = {};
    bool staged = false; // this command's answer stands only if the list is written
    AdminLink::AnswerPiece stream = nullptr; // the rest of the answer, made as it is read
};

// Runs one operator's line ("kick 3 spam") and returns its answer.
std::string RunLine(Context& c, std::string_view line);
// Whether a token of role may give the line: "" (the host's own console and socket)
// and "admin" anything, "moderator" status, say, kick, ban, unban and bans.
bool MayGive(std::string_view role, std::string_view line);
// The first word of rest, taken off it with the blanks after it.
std::string_view TakeWord(std::string_view& rest);
// An answer's lines as the console writes them: a control byte an operator typed
// (say a NUL) comes back as \xNN, never raw; the line ends stay.
std::string EscapeAnswer(std::string_view answer);
// The answer that says why a command failed.
std::string ErrorAnswer(std::string_view why);

} // namespace skirmish
