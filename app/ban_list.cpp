#include "app/ban_list.h"

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

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
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

bool BanList::load(int64_t now, std::string& error)
{
    bans_.clear();
    comments_.clear();
    std::ifstream file(path_, std::ios::binary);
    if (!file) {
        if (errno == ENOENT)
            return true;
        error = path_ + ": " + std::strerror(errno);
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
                comments_.push_back(line);
            continue;
        }
        std::istringstream words(line);
        std::string address, until;
        words >> address >> until;
        auto normal = NormalAddress(address);
        auto seconds = ParseBanTime(until);
        if (!normal || !seconds) {
            error = path_ + ":" + std::to_string(number) + ": " +
                    (!normal ? "no IP address at the start of the line"
                             : "the second word must be \"never\" or a time such as 2026-12-08T03:00:00Z");
            bans_.clear();
            return false;
        }
        // The reason is the rest of the line after one space, kept byte for byte.
        size_t start = line.find(until, line.find(address) + address.size()) + until.size();
        std::string reason = start < line.size() ? line.substr(start + 1) : std::string();
        Ban ban{*normal, *seconds, std::move(reason)};
        if (auto [place, added] = at.try_emplace(*normal, bans_.size()); added)
            bans_.push_back(std::move(ban));
        else
            bans_[place->second] = std::move(ban);
    }
    if (file.bad()) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    size_t before = bans_.size();
    dropExpired(now);
    saved_ = bans_;
    return bans_.size() == before || save(bans_, error);
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

bool BanList::commit(std::string& error)
{
    if (!std::exchange(changed_, false))
        return true;
    if (save(bans_, error)) {
        saved_ = bans_;
        return true;
    }
    bans_ = saved_;
    return false;
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

bool BanList::save(const std::vector<Ban>& bans, std::string& error) const
{
    std::string text = std::string(kHeader) + "\n";
    for (const std::string& comment : comments_)
        text += comment + "\n";
    for (const Ban& ban : bans)
        text += ban.address + " " + BanTimeText(ban.until) + (ban.reason.empty() ? "" : " " + ban.reason) + "\n";
    const std::string temporary = path_ + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && WriteAll(fd, text) && fsync(fd) == 0;
    int cause = errno;
    if (fd >= 0 && ::close(fd) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written && rename(temporary.c_str(), path_.c_str()) == 0) {
        // The rename itself lasts once the folder is on disk.
        int folder = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            fsync(folder);
            ::close(folder);
        }
        return true;
    }
    if (written)
        cause = errno;
    if (fd >= 0)
        unlink(temporary.c_str());
    error = "the ban list could not be written to " + path_ + ": " + std::strerror(cause);
    return false;
}

} // namespace skirmish
