#include "app/ban_list.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <numeric>
#include <unordered_set>
#include <utility>

#include "app/disk_writer.h"
#include "core/console.h"

namespace skirmish {
namespace {

constexpr std::string_view kNever = "never";
constexpr std::string_view kHeader = "# Banned addresses: ADDRESS UNTIL REASON (UNTIL is \"never\" or a UTC time)";

std::optional<int64_t> ParseBanTime(const std::string& text)
{
    if (text == kNever)
        return 0;
    tm parts{};
    char end = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &end) != 7 ||
        end != 'Z')
        return std::nullopt;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    int64_t seconds = timegm(&parts);
    // Only the form BanTimeText writes, and only real dates (timegm rolls 02-30 over).
    if (seconds <= 0 || BanTimeText(seconds) != text)
        return std::nullopt;
    return seconds;
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

// The next word of line from at, and where it ends.
std::string_view WordAt(std::string_view line, size_t& at)
{
    while (at < line.size() && Blank(line[at]))
        ++at;
    size_t start = at;
    while (at < line.size() && !Blank(line[at]))
        ++at;
    return line.substr(start, at - start);
}

bool InForce(const Ban& ban, int64_t now) { return ban.until == 0 || ban.until > now; }

// Closes a descriptor on every way out.
struct Descriptor {
    int fd;
    explicit Descriptor(int opened) : fd(opened) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// Whole bytes of a regular file; a FIFO or a device put at the path is refused, never waited on.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error, bool& missing)
{
    Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    missing = file.fd < 0 && errno == ENOENT;
    struct stat status {};
    if (file.fd < 0 || fstat(file.fd, &status) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    bytes.clear();
    bytes.reserve(static_cast<size_t>(status.st_size));
    char chunk[1 << 16];
    for (ssize_t got; (got = read(file.fd, chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

} // namespace

std::optional<std::string> NormalAddress(std::string_view text)
{
    std::string owned(text);
    unsigned char bytes[16];
    char written[INET6_ADDRSTRLEN];
    for (int family : {AF_INET, AF_INET6})
        if (inet_pton(family, owned.c_str(), bytes) == 1 && inet_ntop(family, bytes, written, sizeof written))
            return std::string(written);
    return std::nullopt;
}

std::string BanTimeText(int64_t until)
{
    if (until == 0)
        return std::string(kNever);
    time_t seconds = static_cast<time_t>(until);
    tm parts{};
    char text[32];
    if (!gmtime_r(&seconds, &parts) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return std::string(kNever);
    return text;
}

bool ReadBanFile(const std::string& path, BanFile& into, std::string& error, bool missingIsEmpty)
{
    into = {};
    std::string bytes;
    bool missing = false;
    if (!ReadWholeFile(path, bytes, error, missing))
        return missing && missingIsEmpty;
    std::string_view text = bytes;
    for (int number = 1; !text.empty(); ++number) {
        size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        size_t at = 0;
        std::string_view address = WordAt(line, at);
        if (address.empty())
            continue;
        if (address.front() == '#') {
            if (line != kHeader)
                into.comments.emplace_back(line);
            continue;
        }
        std::string_view until = WordAt(line, at);
        auto normal = NormalAddress(address);
        auto seconds = ParseBanTime(std::string(until));
        if (!normal || !seconds) {
            error = path + ":" + std::to_string(number) + ": " +
                    (!normal ? "no IP address at the start of the line"
                             : "the second word must be \"never\" or a time such as 2026-12-08T03:00:00Z");
            into = {};
            return false;
        }
        // The reason is the rest of the line after one blank, kept byte for byte.
        std::string reason(at < line.size() ? line.substr(at + 1) : std::string_view());
        into.bans.push_back({std::move(*normal), *seconds, std::move(reason)});
    }
    return true;
}

BanTable::BanTable(BanFile file) : file_(std::move(file))
{
    std::vector<Ban>& bans = file_.bans;
    std::vector<uint32_t> order(bans.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return bans[a].address < bans[b].address; });
    // Of the lines for one address, the last wins at the place of the first.
    std::vector<bool> dropped(bans.size());
    for (size_t run = 0; run < order.size();) {
        size_t next = run + 1;
        while (next < order.size() && bans[order[next]].address == bans[order[run]].address)
            dropped[order[next++]] = true;
        if (next - run > 1)
            bans[order[run]] = std::move(bans[order[next - 1]]);
        run = next;
    }
    std::vector<uint32_t> kept(bans.size());
    size_t count = 0;
    for (size_t i = 0; i < bans.size(); ++i) {
        kept[i] = static_cast<uint32_t>(count);
        if (dropped[i])
            continue;
        if (count != i)
            bans[count] = std::move(bans[i]);
        ++count;
    }
    bans.resize(count);
    std::erase_if(order, [&](uint32_t i) { return dropped[i]; });
    for (uint32_t& i : order)
        i = kept[i];
    byAddress_ = std::move(order);
    for (const Ban& ban : bans)
        if (ban.until != 0)
            ends_.push_back(ban.until);
    std::sort(ends_.begin(), ends_.end());
}

const Ban* BanTable::find(std::string_view address) const
{
    auto at = std::lower_bound(byAddress_.begin(), byAddress_.end(), address,
                               [&](uint32_t i, std::string_view wanted) { return file_.bans[i].address < wanted; });
    return at != byAddress_.end() && file_.bans[*at].address == address ? &file_.bans[*at] : nullptr;
}

size_t BanTable::inForce(int64_t now) const
{
    auto ended = std::upper_bound(ends_.begin(), ends_.end(), now);
    return file_.bans.size() - static_cast<size_t>(ended - ends_.begin());
}

std::optional<std::string> ResolveBanFile(const std::string& path, std::string& error)
{
    std::string resolved = path;
    // As many links as the system itself follows before it calls it a loop.
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat status {};
        if (lstat(resolved.c_str(), &status) != 0)
            return resolved;
        if (!S_ISLNK(status.st_mode)) {
            if (S_ISREG(status.st_mode) && status.st_nlink > 1) {
                error = path + " has " + std::to_string(status.st_nlink) +
                        " hard links: matches may share a ban file through symbolic links only";
                return std::nullopt;
            }
            return resolved;
        }
        std::string target(static_cast<size_t>(status.st_size > 0 ? status.st_size : 4096), '\0');
        ssize_t length = readlink(resolved.c_str(), target.data(), target.size());
        if (length < 0) {
            error = path + ": the link cannot be read: " + std::strerror(errno);
            return std::nullopt;
        }
        target.resize(static_cast<size_t>(length));
        resolved = target.starts_with('/') ? target : FolderOf(resolved) + "/" + target;
    }
    error = path + ": too many symbolic links (a loop?)";
    return std::nullopt;
}

bool BanList::load(std::string& error)
{
    BanFile file;
    if (!ReadBanFile(path_, file, error))
        return false;
    replace(std::make_shared<BanTable>(std::move(file)));
    return true;
}

std::shared_ptr<const BanTable> BanList::replace(std::shared_ptr<const BanTable> table)
{
    changes_.clear();
    last_.clear();
    taken_ = false;
    return std::exchange(table_, std::move(table));
}

const Ban* BanList::find(std::string_view address, int64_t now) const
{
    const Ban* ban = nullptr;
    if (auto changed = last_.find(std::string(address)); changed != last_.end()) {
        const auto& change = changes_[changed->second].ban;
        ban = change ? &*change : nullptr;
    } else {
        ban = table_->find(address);
    }
    return ban && InForce(*ban, now) ? ban : nullptr;
}

void BanList::add(Ban ban)
{
    std::string address = ban.address;
    last_[address] = changes_.size();
    changes_.push_back({std::move(address), std::move(ban)});
}

bool BanList::remove(std::string_view address, int64_t now, std::string& error)
{
    if (!find(address, now)) {
        error = std::string(address) + " is not banned";
        return false;
    }
    last_[std::string(address)] = changes_.size();
    changes_.push_back({std::string(address), std::nullopt});
    return true;
}

std::optional<std::vector<BanChange>> BanList::takeChanges()
{
    if (changes_.empty() || std::exchange(taken_, true))
        return std::nullopt;
    return changes_;
}

std::shared_ptr<const BanTable> BanList::settled(std::shared_ptr<const BanTable> written)
{
    if (!written) {
        changes_.clear();
        last_.clear();
        taken_ = false;
        return nullptr;
    }
    return replace(std::move(written));
}

size_t BanList::count(int64_t now) const
{
    size_t count = table_->inForce(now);
    for (const auto& [address, at] : last_) {
        const Ban* before = table_->find(address);
        count -= before && InForce(*before, now);
        count += changes_[at].ban && InForce(*changes_[at].ban, now);
    }
    return count;
}

BanList::View BanList::view() const
{
    View view{table_, {}};
    for (size_t i = 0; i < changes_.size(); ++i)
        if (last_.at(changes_[i].address) == i)
            view.changes.push_back(changes_[i]);
    return view;
}

namespace {

std::string BanFileText(const BanTable& table)
{
    std::string text = std::string(kHeader) + "\n";
    for (const std::string& comment : table.comments())
        text += comment + "\n";
    for (const Ban& ban : table.bans()) {
        text += ban.address;
        text += ' ';
        text += BanTimeText(ban.until);
        if (!ban.reason.empty()) {
            text += ' ';
            text += ban.reason;
        }
        text += '\n';
    }
    return text;
}

} // namespace

bool WriteBanFile(DiskIo& io, const std::string& path, const BanTable& table, std::string& error, bool* replaced)
{
    if (replaced)
        *replaced = false;
    const std::string text = BanFileText(table);
    const std::string temporary = path + ".tmp";
    // One left by a crash (or anything put there) is no file of ours: never opened, so never waited on.
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = fd >= 0 && WriteWhole(io, fd, text.data(), text.size()) && io.fsync(fd) == 0;
    int cause = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) == 0) {
        if (replaced)
            *replaced = true;
        // The rename itself lasts once the folder is on disk.
        Descriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.fd >= 0 && io.fsync(folder.fd) == 0)
            return true;
        error = "the ban list was written to " + path + " but its folder could not be flushed to disk (" +
                std::strerror(errno) + "): the change is in force, and a crash may undo it";
        return false;
    }
    if (written)
        cause = errno;
    if (fd >= 0)
        unlink(temporary.c_str());
    error = "the ban list could not be written to " + path + ": " + std::strerror(cause);
    return false;
}

BanMerge MergeBanFile(DiskIo& io, const std::string& path, const BanTable& mine, const std::vector<BanChange>& changes,
                      int64_t now)
{
    BanMerge merge;
    // The folder, not the file: the file is replaced by each write, its folder stays.
    Descriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0 || flock(folder.fd, LOCK_EX) != 0) {
        merge.error = "the ban list could not be written to " + path + ": its folder cannot be locked: " +
                      std::strerror(errno);
        return merge;
    }
    BanFile file;
    struct stat status {};
    const bool missing = stat(path.c_str(), &status) != 0 && errno == ENOENT;
    if (!missing && S_ISREG(status.st_mode) && status.st_nlink > 1) {
        merge.error = "the ban list was not written: " + path + " has " + std::to_string(status.st_nlink) +
                      " hard links (matches may share a ban file through symbolic links only)";
        return merge;
    }
    // A file gone (removed by hand) holds no one's bans: this match's own are written again.
    if (missing)
        file = {mine.bans(), mine.comments()};
    else if (!ReadBanFile(path, file, merge.error)) {
        merge.error = "the ban list was not written, as the file cannot be read: " + merge.error;
        return merge;
    }
    std::unordered_set<std::string_view> changed;
    for (const BanChange& change : changes)
        changed.insert(change.address);
    std::erase_if(file.bans, [&](const Ban& ban) { return changed.contains(ban.address) || !InForce(ban, now); });
    // Each address's last change, in the order those were made.
    std::unordered_map<std::string_view, size_t> last;
    for (size_t i = 0; i < changes.size(); ++i)
        last[changes[i].address] = i;
    for (size_t i = 0; i < changes.size(); ++i)
        if (last[changes[i].address] == i && changes[i].ban && InForce(*changes[i].ban, now))
            file.bans.push_back(*changes[i].ban);
    auto table = std::make_shared<BanTable>(std::move(file));
    merge.saved = WriteBanFile(io, path, *table, merge.error, &merge.replaced);
    if (merge.replaced)
        merge.table = std::move(table);
    return merge;
}

std::unique_ptr<BanList> OpenBans(const std::string& path)
{
    std::string error;
    // A ban file that is a link is written through to its target, never replaced.
    std::optional<std::string> banFile = ResolveBanFile(path, error);
    if (!banFile) {
        ConsoleLine("Cannot use the ban file: ", error, "; nothing was started.");
        return nullptr;
    }
    auto bans = std::make_unique<BanList>(*banFile);
    if (!bans->load(error)) {
        ConsoleLine("Cannot read the bans: ", error, "; nothing was started.");
        return nullptr;
    }
    return bans;
}

} // namespace skirmish
