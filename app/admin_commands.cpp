// The operators' commands: what each line asks and what it answers.
#include "app/admin_commands.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <unordered_set>
#include <vector>

#include "app/admin.h"
#include "app/event_log.h"
#include "core/console.h"
#include "core/flags.h"
#include "game/commands.h"
#include "net/server/net.h"
#include "protocol/messages.h"

namespace skirmish {
namespace {

// "ban" takes at most this many minutes (about a thousand years); 0 is forever.
constexpr int64_t kMostBanMinutes = 526'000'000;
// A listing is made in pieces of about this many bytes.
constexpr size_t kListingPieceBytes = 16 * 1024;


bool AllDigits(std::string_view word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A text in double quotes, safe for one line: quotes and backslashes escaped, controls as \xNN.
std::string Quoted(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    std::string quoted = "\"";
    quoted += EscapeForConsole(escaped);
    quoted += '"';
    return quoted;
}




// An event an operator's command caused, with who gave it.
std::function<void()> Logged(Context& c, std::string_view event, EventFields fields)
{
    if (!c.events)
        return [] {};
    fields["by"] = c.who;
    return [events = c.events, event = std::string(event), fields = std::move(fields)] { events->write(event, fields); };
}

void Log(Context& c, std::string_view event, EventFields fields) { Logged(c, event, std::move(fields))(); }

// A connected client's id, or an error line why the word names none.
std::optional<int> ConnectedId(std::string_view word, std::string& error)
{
    auto id = ParseWhole(word, 1, 1 << 20);
    if (id && NetGetConnection(static_cast<int>(*id)))
        return static_cast<int>(*id);
    error = ErrorAnswer("no client is connected with id " + std::string(word));
    return std::nullopt;
}

std::string PlayerName(Level& level, int id)
{
    Player* player = PlayerSlot(level, id);
    return player && player->connected ? player->name : std::string();
}

// Tells the client why, then ends its connection once that has gone out.
void SeeOff(Outbox& out, int id, const Farewell& farewell, std::string_view said)
{
    out.toPlayer(id, message::PlayerMessage(0, said));
    NetKick(id, farewell);
}

std::string Status(Context& c, std::string_view)
{
    const NetStats net = NetGetStats();
    std::string answer = "players=" + std::to_string(net.enetPlayers + net.webPlayers) +
                         " spectators=" + std::to_string(net.enetSpectators + net.webSpectators) +
                         " bots=" + std::to_string(net.bots) + "\n";
    for (const Player& player : c.level.entities.players) {
        auto connection = player.connected ? NetGetConnection(player.id) : std::nullopt;
        if (!connection)
            continue;
        answer += "id=" + std::to_string(player.id) + " name=" + Quoted(player.name) +
                  " address=" + connection->address + " transport=" + (connection->bot ? "bot skill=" + std::string(c.botSkillOf(player.id)) : std::string(connection->web ? "websocket" : "enet")) +
                  " rtt_ms=" + (connection->roundTripMs ? std::to_string(*connection->roundTripMs) : "-") +
                  " health=" + std::to_string(player.health) +
                  " connected_s=" + std::to_string(static_cast<uint32_t>(c.now - connection->connectedAt) / 1000) +
                  "\n";
    }
    return answer;
}

// Cut like any player's chat line, so that an operator relays no more than a player may.
std::string Say(Context& c, std::string_view text)
{
    if (text.empty())
        return ErrorAnswer("say needs a text");
    text = text.substr(0, kMaxCommandTextBytes);
    c.out.toAll(message::PlayerMessage(0, text));
    ConsoleLine("Server says: ", EscapeForConsole(text));
    Log(c, "say", {{"text", text}});
    return "said\n";
}

std::string Kick(Context& c, std::string_view args)
{
    std::string error;
    auto id = ConnectedId(TakeWord(args), error);
    if (!id)
        return error;
    std::string reason(args.empty() ? "Kicked" : args);
    std::string name = PlayerName(c.level, *id);
    SeeOff(c.out, *id, {kDisconnectKicked, kWebSocketKicked, reason}, "You were kicked: " + reason);
    ++c.counts.kicks;
    ConsoleLine("Client ", *id, " was kicked: ", EscapeForConsole(reason));
    Log(c, "kick", {{"id", *id}, {"name", name}, {"reason", reason}});
    return "kicked id=" + std::to_string(*id) + " name=" + Quoted(name) + "\n";
}

std::string BanCommand(Context& c, std::string_view args)
{
    std::string_view target = TakeWord(args);
    std::optional<std::string> address;
    std::string error;
    if (AllDigits(target)) {
        auto id = ConnectedId(target, error);
        if (!id)
            return error;
        if (NetGetConnection(*id)->bot)
            return ErrorAnswer("client " + std::string(target) + " is one of the server's bots: kick it, or lower --bots");
        address = NetGetConnection(*id)->address;
    } else if (!(address = NormalAddress(target))) {
        return ErrorAnswer(target.empty() ? "ban needs a client's id or an address" : "no id or IP address: " +
                                                                                     EscapeForConsole(target));
    }
    int64_t minutes = 0;
    std::string_view rest = args;
    if (std::string_view word = TakeWord(rest); AllDigits(word)) {
        auto parsed = ParseWhole(word, 0, kMostBanMinutes);
        if (!parsed)
            return ErrorAnswer("minutes must be 0 (forever) to " + std::to_string(kMostBanMinutes));
        minutes = *parsed;
        args = rest;
    }
    Ban ban{*address, minutes == 0 ? 0 : c.wallNow + minutes * 60, std::string(args)};
    c.bans.add(ban);
    c.staged = true;
    const std::string reason = ban.reason.empty() ? "Banned" : ban.reason;
    std::vector<int> ended = NetConnectionsFrom(*address);
    // The context ends with this command; the counts outlive the pass, and the outbox
    // is the one of the pass that learns the file is written.
    c.afterSave.push_back([&counts = c.counts, ended, reason, ban, logged = Logged(c, "ban", {{"address", ban.address},
                                                                                                {"until", BanTimeText(ban.until)},
                                                                                                {"reason", reason}})](Outbox& out) {
        logged();
        ++counts.bans;
        for (int id : ended)
            SeeOff(out, id, {kDisconnectBanned, kWebSocketBanned, reason}, "You are banned: " + reason);
        ConsoleLine("Address ", ban.address, " banned until ", BanTimeText(ban.until), ": ", EscapeForConsole(reason));
    });
    return "banned address=" + *address + " until=" + BanTimeText(ban.until) + " ended=" + std::to_string(ended.size()) +
           "\n";
}

std::string Unban(Context& c, std::string_view args)
{
    std::string_view word = TakeWord(args);
    auto address = NormalAddress(word);
    std::string error;
    if (!address)
        return ErrorAnswer("no IP address: " + EscapeForConsole(word));
    if (!c.bans.remove(*address, c.wallNow, error))
        return ErrorAnswer(error);
    c.staged = true;
    c.afterSave.push_back([address = *address, logged = Logged(c, "unban", {{"address", *address}})](Outbox&) {
        logged();
        ConsoleLine("Address ", address, " unbanned.");
    });
    return "unbanned address=" + *address + "\n";
}

// The list as it stood at the command, streamed: the table the file was read to hold,
// then the changes not yet in it. However long, it never sits whole in memory.
std::string Bans(Context& c, std::string_view)
{
    auto view = std::make_shared<BanList::View>(c.bans.view());
    std::unordered_set<std::string_view> changed;
    for (const BanChange& change : view->changes)
        changed.insert(change.address);
    c.stream = [view, changed = std::move(changed), at = size_t{0}, now = c.wallNow](std::string& to) mutable {
        const std::vector<Ban>& table = view->table->bans();
        for (const size_t full = to.size() + kListingPieceBytes; to.size() < full; ++at) {
            const Ban* ban = nullptr;
            if (at < table.size())
                ban = changed.contains(table[at].address) ? nullptr : &table[at];
            else if (at - table.size() < view->changes.size())
                ban = view->changes[at - table.size()].ban ? &*view->changes[at - table.size()].ban : nullptr;
            else
                return false;
            if (ban && (ban->until == 0 || ban->until > now))
                to += "address=" + ban->address + " until=" + BanTimeText(ban->until) + " reason=" +
                      Quoted(ban->reason) + "\n";
        }
        return true;
    };
    return "bans=" + std::to_string(c.bans.count(c.wallNow)) + "\n";
}

std::string Stop(Context&, std::string_view)
{
    ConsoleLine("Stopping at the operator's command.");
    NetRequestStop();
    return "stopping\n";
}

std::string Help(Context&, std::string_view);

struct Command {
    std::string_view name;
    std::string_view usage;
    std::string (*run)(Context&, std::string_view args);
    bool moderator = false; // a moderator's token may give it
};

const Command kCommands[] = {
    {"status", "status: a line per player (id, name, address, transport, rtt, health, seconds connected)", Status, true},
    {"say", "say TEXT: every client reads TEXT from the server", Say, true},
    {"kick", "kick ID [REASON]: ends the client's connection", Kick, true},
    {"ban", "ban ID|ADDRESS [MINUTES] [REASON]: refuses the address (0 or no minutes: forever)", BanCommand, true},
    {"unban", "unban ADDRESS", Unban, true},
    {"bans", "bans: the bans in force", Bans, true},
    {"stop", "stop: ends hosting, as SIGTERM does", Stop},
    {"help", "help: these lines", Help},
};

std::string Help(Context&, std::string_view)
{
    std::string answer;
    for (const Command& command : kCommands)
        answer += std::string(command.usage) + "\n";
    return answer;
}


} // namespace

// The first word of rest, taken off it with the blanks after it.
std::string_view TakeWord(std::string_view& rest)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!rest.empty() && blank(rest.front()))
        rest.remove_prefix(1);
    size_t end = 0;
    while (end < rest.size() && !blank(rest[end]))
        ++end;
    std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    while (!rest.empty() && blank(rest.front()))
        rest.remove_prefix(1);
    return word;
}

// An answer's lines as the console writes them: a control byte an operator typed
// (say a NUL) comes back as \xNN, never raw; the line ends stay.
std::string EscapeAnswer(std::string_view answer)
{
    std::string escaped;
    for (size_t start = 0; start < answer.size();) {
        size_t end = std::min(answer.find('\n', start), answer.size());
        escaped += EscapeForConsole(answer.substr(start, end - start));
        if (end < answer.size())
            escaped += '\n';
        start = end + 1;
    }
    return escaped;
}

std::string ErrorAnswer(std::string_view why) { return "Error: " + std::string(why) + "\n"; }

bool MayGive(std::string_view role, std::string_view line)
{
    if (role.empty() || role == "admin")
        return true;
    std::string_view name = TakeWord(line);
    auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                [&](const Command& known) { return known.name == name; });
    return role == "moderator" && command != std::end(kCommands) && command->moderator;
}

std::string RunLine(Context& c, std::string_view line)
{
    std::string_view args = line;
    std::string_view name = TakeWord(args);
    auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                [&](const Command& known) { return known.name == name; });
    if (command == std::end(kCommands))
        return ErrorAnswer("unknown command " + Quoted(name) + "; help lists the commands");
    return command->run(c, args);
}

} // namespace skirmish
