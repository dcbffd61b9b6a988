#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace skirmish {

// One recording as its header and its blocks' heads describe it.
struct DemoSummary {
    std::string name;
    int64_t startUnixMs = 0;
    uint32_t lengthMs = 0; // the last whole block's last record
    uint64_t bytes = 0;
    uint16_t mostPlayers = 0;
};

// Opens the recording of that name in dir for reading: only a regular file in the
// folder itself, never through a link, and never waiting on a FIFO or a device
// (opened without blocking, then refused). -1 for anything else.
int OpenRecording(const std::string& dir, std::string_view name);

// The recordings of one folder, for the pages (use it from one thread). Each file is read only as far as it
// has grown since the last look, and only its blocks' heads: a listing costs little
// however long the recordings are.
class DemoShelf {
public:
    explicit DemoShelf(std::string dir) : dir_(std::move(dir)) {}
    // Every recording with a sound header, newest first.
    std::vector<DemoSummary> list();
    // The recording of that name opened (OpenRecording): no other name from a
    // request reaches the file system.
    int open(std::string_view name) const { return OpenRecording(dir_, name); }

private:
    struct Seen {
        uint64_t scanned = 0; // bytes of whole blocks read so far (0: header not read yet)
        DemoSummary summary;
    };
    void scan(Seen& seen, int fd, uint64_t size);

    std::string dir_;
    std::map<std::string, Seen, std::greater<>> seen_; // by name: newest first
};

// The /demos page: a table of the recordings, each linked to its replay and its file.
std::string DemoListPage(const std::vector<DemoSummary>& demos, std::string_view recording);

} // namespace skirmish
