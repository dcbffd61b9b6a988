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

// The recordings of one folder, for the pages. Each file is read only as far as it
// has grown since the last look, and only its blocks' heads: a listing costs little
// however long the recordings are.
class DemoShelf {
public:
    explicit DemoShelf(std::string dir) : dir_(std::move(dir)) {}
    // Every recording with a sound header, newest first.
    std::vector<DemoSummary> list();
    // The path of the recording of that name, "" unless the name is a recording's and
    // the file is there: no other path from a request reaches the file system.
    std::string pathOf(std::string_view name) const;

private:
    struct Seen {
        uint64_t scanned = 0; // bytes of whole blocks read so far (0: header not read yet)
        DemoSummary summary;
    };
    void scan(Seen& seen, const std::string& path, uint64_t size);

    std::string dir_;
    std::map<std::string, Seen, std::greater<>> seen_; // by name: newest first
};

// The /demos page: a table of the recordings, each linked to its replay and its file.
std::string DemoListPage(const std::vector<DemoSummary>& demos, std::string_view recording);

} // namespace skirmish
