#include "app/ban_list.h"

#include <sys/stat.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "app/disk_writer.h"

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

bool ReadBanFile(const std::string& path, BanFile& into, std::string& error)
{
    into = {};
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (errno == ENOENT)
            return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::unordered_map<std::string, size_t> at; // where each address's ban is, the last line for it winning
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        if (line[first] == '#') {
            if (line != kHeader)
                into.comments.push_back(line);
            continue;
        }
        std::istringstream words(line);
        std::string address, until;
        words >> address >> until;
        auto normal = NormalAddress(address);
        auto seconds = ParseBanTime(until);
        if (!normal || !seconds) {
            error = path + ":" + std::to_string(number) + ": " +
                    (!normal ? "no IP address at the start of the line"
                             : "the second word must be \"never\" or a time such as 2026-12-08T03:00:00Z");
            into = {};
            return false;
        }
        // The reason is the rest of the line after one space, kept byte for byte.
        size_t start = line.find(until, line.find(address) + address.size()) + until.size();
        std::string reason = start < line.size() ? line.substr(start + 1) : std::string();
        Ban ban{*normal, *seconds, std::move(reason)};
        if (auto [place, added] = at.try_emplace(*normal, into.bans.size()); added)
            into.bans.push_back(std::move(ban));
        else
            into.bans[place->second] = std::move(ban);
    }
    if (file.bad()) {
        error = path + ": " + std::strerror(errno);
        into = {};
        return false;
    }
    return true;
}

std::optional<std::string> ResolveBanFile(const std::string& path, std::string& error)
{
    std::string resolved = path;
    // As many links as the system itself follows before it calls it a loop.
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat status {};
        if (lstat(resolved.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return resolved;
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

bool BanList::load(int64_t now, std::string& error)
{
    BanFile file;
    if (!ReadBanFile(path_, file, error))
        return false;
    size_t before = file.bans.size();
    replace(std::move(file), now);
    return bans_.size() == before || WriteBanFile(SystemDisk(), path_, {bans_, comments_}, error);
}

void BanList::replace(BanFile file, int64_t now)
{
    bans_ = std::move(file.bans);
    comments_ = std::move(file.comments);
    dropExpired(now);
    saved_ = bans_;
    changed_ = false;
}

Ban* BanList::find(std::string_view address, int64_t now)
{
    auto found = std::find_if(bans_.begin(), bans_.end(), [&](const Ban& ban) {
        return ban.address == address && (ban.until == 0 || ban.until > now);
    });
    return found == bans_.end() ? nullptr : &*found;
}

void BanList::add(Ban ban, int64_t now)
{
    std::erase_if(bans_, [&](const Ban& old) { return old.address == ban.address; });
    dropExpired(now);
    bans_.push_back(std::move(ban));
    changed_ = true;
}

bool BanList::remove(std::string_view address, int64_t now, std::string& error)
{
    if (!find(address, now)) {
        error = std::string(address) + " is not banned";
        return false;
    }
    std::erase_if(bans_, [&](const Ban& old) { return old.address == address; });
    dropExpired(now);
    changed_ = true;
    return true;
}

std::optional<BanFile> BanList::takeChanges()
{
    if (!std::exchange(changed_, false))
        return std::nullopt;
    return BanFile{bans_, comments_};
}

void BanList::settled(const BanFile& written, bool saved)
{
    if (saved)
        saved_ = written.bans;
    else
        bans_ = saved_;
}

std::vector<Ban> BanList::list(int64_t now)
{
    std::vector<Ban> inForce;
    std::copy_if(bans_.begin(), bans_.end(), std::back_inserter(inForce),
                 [&](const Ban& ban) { return ban.until == 0 || ban.until > now; });
    return inForce;
}

void BanList::dropExpired(int64_t now)
{
    std::erase_if(bans_, [&](const Ban& ban) { return ban.until != 0 && ban.until <= now; });
}

bool WriteBanFile(DiskIo& io, const std::string& path, const BanFile& file, std::string& error)
{
    std::string text = std::string(kHeader) + "\n";
    for (const std::string& comment : file.comments)
        text += comment + "\n";
    for (const Ban& ban : file.bans)
        text += ban.address + " " + BanTimeText(ban.until) + (ban.reason.empty() ? "" : " " + ban.reason) + "\n";
    const std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = fd >= 0 && WriteWhole(io, fd, text.data(), text.size()) && io.fsync(fd) == 0;
    int cause = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) == 0) {
        // The rename itself lasts once the folder is on disk.
        int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            io.fsync(folder);
            ::close(folder);
        }
        return true;
    }
    if (written)
        cause = errno;
    if (fd >= 0)
        unlink(temporary.c_str());
    error = "the ban list could not be written to " + path + ": " + std::strerror(cause);
    return false;
}

} // namespace skirmish
