// skirmish-demo: reads recordings (info, verify) and cuts clips from them.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "demo/demo_format.h"

namespace {

using namespace skirmish;

const char* const kUsage = R"(Usage: skirmish-demo info FILE
       skirmish-demo verify FILE
       skirmish-demo cut FILE FROM TO OUT

  info    the header, the length, the blocks and the messages by name
  verify  exits 1 and prints the offset of the first damage; 0 when every byte is sound
  cut     writes OUT: the part from FROM to TO (seconds), starting at the last
          keyframe at or before FROM, its times counted from that keyframe
)";

std::optional<Bytes> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string Seconds(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%03u", ms / 1000, ms % 1000);
    return text;
}

uint32_t LengthMs(const DemoScan& scan) { return scan.blocks.empty() ? 0 : scan.blocks.back().info.lastMs; }

int Info(const DemoScan& scan)
{
    const DemoHeader& header = *scan.header;
    std::map<std::string, uint64_t> byName;
    uint64_t records = 0, keyframes = 0, mostPlayers = 0;
    for (const DemoBlock& block : scan.blocks) {
        keyframes += block.info.keyframe;
        mostPlayers = std::max<uint64_t>(mostPlayers, block.info.mostPlayers);
        for (size_t i = block.info.keyframeRecords; i < block.records.size(); ++i, ++records)
            ++byName[MessageReader(block.records[i].message).getString()];
    }
    std::cout << "format: " << header.formatVersion << "\nprotocol: " << header.protocolVersion
              << "\ntick_ms: " << header.tickMs << "\nmap: " << header.mapWidth << " x " << header.mapHeight
              << "\nport: " << header.port << "\nseed: " << header.seed << "\nstart_unix_ms: " << header.startUnixMs
              << "\nlength_s: " << Seconds(LengthMs(scan)) << "\nblocks: " << scan.blocks.size()
              << "\nkeyframes: " << keyframes << "\nmost_players: " << mostPlayers << "\nmessages: " << records << "\n";
    for (const auto& [name, count] : byName)
        std::cout << "message " << (name.empty() ? "(unnamed)" : name) << ": " << count << "\n";
    if (!scan.damage.empty())
        std::cout << "damaged_at: " << scan.soundBytes << "\n";
    return 0;
}

int Verify(const DemoScan& scan, size_t size)
{
    if (scan.damage.empty()) {
        std::cout << "ok: " << scan.blocks.size() << " blocks, " << Seconds(LengthMs(scan)) << " s\n";
        return 0;
    }
    std::cout << "damaged at offset " << scan.soundBytes << " of " << size << ": " << scan.damage << "\n";
    return 1;
}

std::optional<uint32_t> ParseSeconds(const std::string& text)
{
    try {
        size_t used = 0;
        double seconds = std::stod(text, &used);
        if (used == text.size() && seconds >= 0 && seconds <= UINT32_MAX / 1000.0)
            return static_cast<uint32_t>(seconds * 1000);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

int Cut(const DemoScan& scan, uint32_t fromMs, uint32_t toMs, const std::string& out)
{
    std::optional<Bytes> clip = CutDemo(scan, fromMs, toMs);
    if (!clip) {
        std::cerr << "skirmish-demo: nothing between " << Seconds(fromMs) << " and " << Seconds(toMs) << " s\n";
        return 1;
    }
    // Whole or not at all: a clip is written beside OUT, then takes its name.
    const std::string temporary = out + ".part";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(clip->data()), static_cast<std::streamsize>(clip->size()));
    file.close();
    if (!file || std::rename(temporary.c_str(), out.c_str()) != 0) {
        std::remove(temporary.c_str());
        std::cerr << "skirmish-demo: cannot write " << out << "\n";
        return 1;
    }
    std::cout << "wrote " << out << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool known = (args.size() == 2 && (args[0] == "info" || args[0] == "verify")) ||
                       (args.size() == 5 && args[0] == "cut");
    if (!known) {
        std::cerr << kUsage;
        return 2;
    }
    std::optional<Bytes> file = ReadFile(args[1]);
    if (!file) {
        std::cerr << "skirmish-demo: cannot read " << args[1] << "\n";
        return 1;
    }
    DemoScan scan = ScanDemo(*file);
    if (args[0] == "verify")
        return Verify(scan, file->size());
    if (!scan.header) {
        std::cerr << "skirmish-demo: " << args[1] << " is not a recording\n";
        return 1;
    }
    if (args[0] == "info")
        return Info(scan);
    auto from = ParseSeconds(args[2]), to = ParseSeconds(args[3]);
    if (!from || !to) {
        std::cerr << "skirmish-demo: FROM and TO are seconds\n" << kUsage;
        return 2;
    }
    return Cut(scan, *from, *to, args[4]);
}
