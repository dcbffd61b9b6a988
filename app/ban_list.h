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

// Banned addresses, kept in a text file of one ban a line: ADDRESS UNTIL [REASON],
// UNTIL being "never" or a UTC time as BanTimeText writes it; '#' starts a comment
// line (kept, at the top, when the file is written again); blank lines are skipped. Every change replaces the file whole (a temporary file, fsync, rename), so a
// crash at any moment leaves the old list or the new one.
class BanList {
public:
    explicit BanList(std::string path) : path_(std::move(path)) {}

    // Reads the file (none: no bans), dropping bans expired by now and writing the
    // file again if any were. False, with error naming the file and the line, on a malformed line.
    bool load(int64_t now, std::string& error);
    // The ban on an address at now, if any.
    Ban* find(std::string_view address, int64_t now);
    // Adds a ban or replaces the address's, in force at once; commit writes it.
    void add(Ban ban, int64_t now);
    // Lifts the address's ban, at once; false with error when there was none.
    bool remove(std::string_view address, int64_t now, std::string& error);
    // Writes the changes made since the last commit, one write for them all. False
    // with error when the file could not be written: the list is then as it was.
    bool commit(std::string& error);
    // Bans in force at now, in the order they were made.
    std::vector<Ban> list(int64_t now);
    const std::string& path() const { return path_; }

private:
    void dropExpired(int64_t now);
    bool save(const std::vector<Ban>& bans, std::string& error) const;

    std::string path_;
    std::vector<Ban> bans_;
    std::vector<Ban> saved_; // as the file holds them
    bool changed_ = false;
    std::vector<std::string> comments_; // the operator's, kept at the top when the file is written
};

} // namespace skirmish
