// The operators' side of the match: their lines taken in batches, the ban list's
// writes and reloads on the disk thread, and the ban check of every connection.
#include "app/admin.h"

#include <vector>

#include "app/admin_commands.h"
#include "app/event_log.h"
#include "core/console.h"
#include "net/server/net.h"

namespace skirmish {
namespace {

// A ban's refusals are written at most this often, per address.
constexpr int64_t kRefusalLogSeconds = 60;
// Past this many addresses whose refusal was written, those written over a minute ago are forgotten.
constexpr size_t kMostRefusalsRemembered = 4096;

} // namespace

// However many bans a pass brings, the list is written once: a burst costs one fsync.
// While the file is being written or read, lines wait in the link, so that every
// command sees the bans as the ones before it left them. Commands run before a
// reload starts, so that a storm of SIGHUPs cannot keep them waiting.
bool Admin::runCommands(Level& level, int32_t now, Outbox& out)
{
    link_.service();
    writer_.take();
    reloadPending_ = (reloadAsked_ && reloadAsked_()) || reloadPending_;
    bool ran = finishWork(out);
    Batch batch;
    const int64_t wallNow = wallSeconds_();
    for (AdminLink::Line line; !saving_ && !reloading_ && link_.take(line); ran = true) {
        std::string_view words = line.text;
        if (TakeWord(words).empty()) { // a blank line asks nothing
            batch.replies.push_back({line.from, "", false, false, nullptr});
            continue;
        }
        const bool allowed = MayGive(line.role, line.text);
        audit(line, allowed);
        if (!allowed) {
            batch.replies.push_back({line.from, ErrorAnswer("a " + line.role + " may not give this command"), false, true, nullptr});
            continue;
        }
        Context context{level, now, out, bans_, wallNow, counts_, batch.afterSave, botSkillOf, events_, line.who};
        std::string text = RunLine(context, line.text);
        batch.replies.push_back({line.from, std::move(text), context.staged, false, std::move(context.stream)});
    }
    if (auto changes = bans_.takeChanges()) {
        saving_ = std::move(batch);
        auto write = [mail = written_, path = bans_.path(), mine = bans_.table(), changes = std::move(*changes),
                      wallNow](DiskIo& io) { mail->put(MergeBanFile(io, path, *mine, changes, wallNow)); };
        writer_.post(std::move(write), 0, "the ban list " + banFileName_);
    } else {
        BanMerge nothingToWrite;
        nothingToWrite.saved = true;
        answer(batch, nothingToWrite, out);
    }
    if (reloadPending_ && !saving_ && !reloading_) {
        reloadPending_ = false;
        reloading_ = true;
        writer_.post([mail = reread_, path = bans_.path()](DiskIo&) {
            BanFile file;
            Reread reread;
            if (ReadBanFile(path, file, reread.error, false))
                reread.table = std::make_shared<const BanTable>(std::move(file));
            mail->put(std::move(reread));
        });
    }
    ran = link_.settle() || ran;
    std::vector<Wake> wakes = link_.wakes();
    wakes.push_back(writer_.wake());
    if (reloadWake_ && reloadWake_->descriptor >= 0)
        wakes.push_back(*reloadWake_);
    NetWakeOn(wakes);
    return ran;
}

bool Admin::finishWork(Outbox& out)
{
    bool finished = false;
    for (BanMerge& written : written_->take()) {
        finished = true;
        const bool inForce = written.replaced;
        letGo(bans_.settled(std::move(written.table)));
        written.replaced = inForce;
        answer(*saving_, written, out);
        saving_.reset();
    }
    for (Reread& reread : reread_->take()) {
        finished = true;
        reloading_ = false;
        const int64_t wallNow = wallSeconds_();
        if (!reread.table) {
            sayReloaded("Bans not reloaded: " + reread.error + "; the " + std::to_string(bans_.count(wallNow)) +
                        " bans in force stay.");
            continue;
        }
        letGo(bans_.replace(std::move(reread.table)));
        sayReloaded("Bans reloaded from " + banFileName_ + ": " + std::to_string(bans_.count(wallNow)) + " bans.");
    }
    return finished;
}

void Admin::sayReloaded(const std::string& line)
{
    const int64_t wallNow = wallSeconds_();
    // Within a second of the last line, one that says the same again, or that another
    // reload (already asked for) will follow, is only counted.
    if ((reloadPending_ || line == lastReloadSaid_) && lastReloadLine_ > wallNow - 1) {
        ++reloadsUnsaid_;
        return;
    }
    lastReloadLine_ = wallNow;
    lastReloadSaid_ = line;
    const int unsaid = std::exchange(reloadsUnsaid_, 0);
    ConsoleLine(line, unsaid > 0 ? " (" + std::to_string(unsaid) + " reloads before it were not reported.)" : "");
}

void Admin::audit(const AdminLink::Line& line, bool allowed)
{
    if (audit_)
        audit_->write("command", {{"who", line.who}, {"role", line.role}, {"line", line.text}, {"allowed", allowed}});
    else if (line.from != AdminLink::kStandardInput) // what the console typed is on the console already
        ConsoleLine("Command from ", line.who, allowed ? ": " : " (refused): ", EscapeForConsole(line.text));
}

void Admin::letGo(std::shared_ptr<const BanTable> table)
{
    if (table)
        writer_.post([table = std::move(table)](DiskIo&) {});
}

void Admin::answer(Batch& batch, const BanMerge& written, Outbox& out)
{
    // A file replaced holds the changes, and they are in force, even when its folder's sync failed.
    if (written.saved || written.replaced)
        for (const auto& effect : batch.afterSave)
            effect(out);
    for (Reply& reply : batch.replies) {
        if (reply.refused)
            link_.refuse(reply.from, reply.text);
        else if (reply.staged && !written.saved)
            link_.answer(reply.from, EscapeAnswer(ErrorAnswer(written.error)));
        else
            link_.answerStream(reply.from, std::move(reply.stream), EscapeAnswer(reply.text));
    }
}

bool Admin::refuses(const std::string& address)
{
    int64_t now = wallSeconds_();
    const Ban* ban = bans_.find(address, now);
    if (!ban)
        return false;
    auto [logged, first] = refusalLogged_.try_emplace(address, now);
    if (first || now - logged->second >= kRefusalLogSeconds) {
        logged->second = now;
        ConsoleLine("Connection from ", address, " refused: banned until ", BanTimeText(ban->until), ".");
        if (refusalLogged_.size() > kMostRefusalsRemembered)
            std::erase_if(refusalLogged_, [&](const auto& entry) { return now - entry.second >= kRefusalLogSeconds; });
    }
    return true;
}

std::unique_ptr<Admin> StartModeration(BanList& bans, std::function<int64_t()> wallSeconds, const std::string& banFile,
                                       const std::string& socketPath)
{
    auto admin = std::make_unique<Admin>(bans, std::move(wallSeconds), SystemDisk(), banFile);
    std::string error;
    if (!socketPath.empty() && !admin->link().listen(socketPath, error)) {
        ConsoleLine("Cannot open the admin socket: ", error, "; nothing was started.");
        return nullptr;
    }
    NetSetBanCheck([refuses = admin.get()](const std::string& address) { return refuses->refuses(address); });
    return admin;
}

} // namespace skirmish
