#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skirmish {

// One banned address. Times are seconds since 1970 UTC.
struct Ban {
    std::string address; // as the network layer writes it (inet_ntop's form)
    int64_t until = 0;   // 0: forever
    std::string reason;
    int64_t lastRefusalLogged = -1; // not kept in the file
};

// The address in its one written form, or nothing when it is no IPv4 or IPv6 address.
std::optional<std::string> NormalAddress(std::string_view text);
// "never", or the time as 2026-12-08T03:00:00Z.
std::string BanTimeText(int64_t until);

class DiskIo;

// What the ban file holds: the bans, and the operator's comment lines.
struct BanFile {
    std::vector<Ban> bans;
    std::vector<std::string> comments;
};

// The file at path read and parsed; a missing file holds no bans. False, with error
// naming the file and the line, when it cannot be read or a line is malformed.
bool ReadBanFile(const std::string& path, BanFile& into, std::string& error);
// Replaces the file whole (a temporary file beside it, fsync, rename, the folder
// synced), so a crash at any moment leaves the old list or the new one; on failure
// the file is left as it was and error says why.
bool WriteBanFile(DiskIo& io, const std::string& path, const BanFile& file, std::string& error);
// The file a ban file path names, through any symbolic links, so that writing it
// replaces the link's target and not the link; nothing, with error, for a link that
// loops or cannot be read.
std::optional<std::string> ResolveBanFile(const std::string& path, std::string& error);

// Banned addresses, kept in a text file of one ban a line: ADDRESS UNTIL [REASON],
// UNTIL being "never" or a UTC time as BanTimeText writes it; '#' starts a comment
// line (kept, at the top, when the file is written again); blank lines are skipped.
// Changes are in force at once; the file is written off the loop's thread from the
// snapshot takeChanges() hands out, and settled() says how that went.
class BanList {
public:
    explicit BanList(std::string path) : path_(std::move(path)) {}

    // Reads the file (none: no bans), dropping bans expired by now and writing the
    // file again if any were. False, with error naming the file and the line, on a malformed line.
    bool load(int64_t now, std::string& error);
    // The ban on an address at now, if any.
    Ban* find(std::string_view address, int64_t now);
    // Adds a ban or replaces the address's, in force at once.
    void add(Ban ban, int64_t now);
    // Lifts the address's ban, at once; false with error when there was none.
    bool remove(std::string_view address, int64_t now, std::string& error);
    // What the file should hold after the changes made since the last take, or
    // nothing when there were none.
    std::optional<BanFile> takeChanges();
    // The outcome of writing what takeChanges() gave: kept, or the list goes back to
    // what the file holds.
    void settled(const BanFile& written, bool saved);
    // Takes what the file was read to hold (a reload), dropping bans expired by now.
    void replace(BanFile file, int64_t now);
    // Bans in force at now, in the order they were made.
    std::vector<Ban> list(int64_t now);
    const std::string& path() const { return path_; }

private:
    void dropExpired(int64_t now);

    std::string path_;
    std::vector<Ban> bans_;
    std::vector<Ban> saved_; // as the file holds them
    bool changed_ = false;
    std::vector<std::string> comments_; // the operator's, kept at the top when the file is written
};

} // namespace skirmish
