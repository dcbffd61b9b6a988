#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace skirmish {

// One banned address. Times are seconds since 1970 UTC.
struct Ban {
    std::string address; // as the network layer writes it (inet_ntop's form)
    int64_t until = 0;   // 0: forever
    std::string reason;
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

// A ban file as the loop looks it up: built whole off the loop's thread (a million
// bans take a while to sort), never changed after, and handed over finished.
class BanTable {
public:
    // The last line for an address wins, at the place of its first.
    explicit BanTable(BanFile file = {});
    BanTable(const BanTable&) = delete;
    BanTable& operator=(const BanTable&) = delete;

    // The address's ban, expired or not; O(log n).
    const Ban* find(std::string_view address) const;
    // How many are in force at now; O(log n).
    size_t inForce(int64_t now) const;
    const std::vector<Ban>& bans() const { return file_.bans; }
    const std::vector<std::string>& comments() const { return file_.comments; }

private:
    BanFile file_;
    std::vector<uint32_t> byAddress_; // indexes of bans, in the addresses' order
    std::vector<int64_t> ends_;       // the untils of the bans that end, sorted
};

// The file at path read and parsed; a missing file holds no bans when missingIsEmpty
// (a first start), and is an error otherwise (a reload must not lift every ban). False,
// with error naming the file and the line, when it cannot be read, is no regular file
// or a line is malformed.
bool ReadBanFile(const std::string& path, BanFile& into, std::string& error, bool missingIsEmpty = true);
// Replaces the file whole (a temporary file beside it, fsync, rename, the folder
// synced), so a crash at any moment leaves the old list or the new one; on failure
// error says why and replaced whether the rename was done all the same (then only the
// folder's sync failed: the file holds the new list, which a crash may still undo).
bool WriteBanFile(DiskIo& io, const std::string& path, const BanTable& table, std::string& error,
                  bool* replaced = nullptr);
// The file a ban file path names, through any symbolic links, so that writing it
// replaces the link's target and not the link; nothing, with error, for a link that
// loops or cannot be read, or a file with more than one hard link (replacing it would
// part the links, and the matches sharing it would no longer see each other's bans).
std::optional<std::string> ResolveBanFile(const std::string& path, std::string& error);
class BanList;
// The bans of the file at path, read before anything else starts (a broken file stops
// the start at once); null, said on the console, when they cannot be had.
std::unique_ptr<BanList> OpenBans(const std::string& path);

// One change to the list: the address banned (ban set) or its ban lifted.
struct BanChange {
    std::string address;
    std::optional<Ban> ban;
};

// What writing changes to the ban file came to.
struct BanMerge {
    bool saved = false;
    bool replaced = false; // the file holds `table`, saved or not (its folder's sync may have failed)
    std::shared_ptr<const BanTable> table;
    std::string error;
};
// Makes changes to what the file holds now, not to what this match last read: other
// matches sharing the file (through links) keep the bans they wrote. The file is read,
// changed and replaced under an exclusive lock (flock) on its folder, which every match
// writing it takes; bans expired by now are dropped. A file that cannot be read or has
// a malformed line is left as it is; a missing one is written from `mine`, the table
// this match holds.
BanMerge MergeBanFile(DiskIo& io, const std::string& path, const BanTable& mine, const std::vector<BanChange>& changes,
                      int64_t now);

// Banned addresses, kept in a text file of one ban a line: ADDRESS UNTIL [REASON],
// UNTIL being "never" or a UTC time as BanTimeText writes it; '#' starts a comment
// line (kept, at the top, when the file is written again); blank lines are skipped.
// Changes are in force at once, kept beside the table the file was last read into
// until the disk thread has written them (takeChanges, then settled).
class BanList {
public:
    explicit BanList(std::string path) : path_(std::move(path)), table_(std::make_shared<BanTable>()) {}

    // Reads the file (none: no bans). Expired bans are not in force, and leave the
    // file when it is next written: starting writes nothing. False, with error naming
    // the file and the line, when it cannot be read or a line is malformed.
    bool load(std::string& error);
    // The ban on an address at now, if any.
    const Ban* find(std::string_view address, int64_t now) const;
    // Adds a ban or replaces the address's, in force at once.
    void add(Ban ban);
    // Lifts the address's ban, at once; false with error when there was none.
    bool remove(std::string_view address, int64_t now, std::string& error);
    // The changes made since the last take, or nothing when there were none.
    std::optional<std::vector<BanChange>> takeChanges();
    // After the changes taken are written (or not): the table the file now holds, or
    // null when it is as it was (the changes are then undone). Gives back the table
    // replaced, for its owner to free off the loop's thread.
    std::shared_ptr<const BanTable> settled(std::shared_ptr<const BanTable> written);
    // Takes what the file was read to hold (a reload); gives back the table replaced.
    std::shared_ptr<const BanTable> replace(std::shared_ptr<const BanTable> table);
    // Bans in force at now.
    size_t count(int64_t now) const;

    // The list as it stands, for a listing made a piece at a time: later changes do
    // not touch it.
    struct View {
        std::shared_ptr<const BanTable> table;
        std::vector<BanChange> changes; // the last change of each address, in order
    };
    View view() const;
    std::shared_ptr<const BanTable> table() const { return table_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::shared_ptr<const BanTable> table_;
    std::vector<BanChange> changes_;               // not yet in table_, in order
    std::unordered_map<std::string, size_t> last_; // each changed address's last change in changes_
    bool taken_ = false;                           // changes_ are with the writer
};

} // namespace skirmish
