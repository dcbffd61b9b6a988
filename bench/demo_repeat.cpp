// demo-repeat IN MINUTES OUT: a long recording for seek benchmarks, made of IN's sound
// blocks end to end until it lasts MINUTES. Each copy starts 1 ms after the previous
// one ends, and every block is written afresh by DemoBlockWriter, so OUT is as sound as
// anything the server writes and starts over from IN's first keyframe at each copy.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "demo/demo_format.h"

using namespace skirmish;

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: demo-repeat IN MINUTES OUT\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const Bytes file(std::istreambuf_iterator<char>(in), {});
    const DemoScan scan = ScanDemo(file);
    const double minutes = std::atof(argv[2]);
    if (!scan.header || scan.blocks.empty() || !(minutes > 0) || minutes > 60 * 24 * 40) {
        std::cerr << "demo-repeat: " << argv[1] << " has no sound block, or MINUTES is not a length\n";
        return 1;
    }
    const uint64_t wantMs = static_cast<uint64_t>(minutes * 60000);
    const uint64_t copyMs = scan.blocks.back().info.lastMs; // the times in IN run from 0 to this

    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    const Bytes header = EncodeDemoHeader(*scan.header);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    uint64_t shift = 0, copies = 0, blocks = 0;
    for (;; shift += copyMs + 1) {
        if (shift + copyMs > UINT32_MAX) {
            std::cerr << "demo-repeat: past the format's 32-bit times\n";
            return 1;
        }
        for (const DemoBlock& block : scan.blocks) {
            DemoBlockWriter writer;
            for (size_t i = 0; i < block.records.size(); ++i) {
                const auto at = static_cast<uint32_t>(block.records[i].timeMs + shift);
                if (i < block.info.keyframeRecords)
                    writer.addKeyframe(at, block.records[i].message);
                else
                    writer.add(at, block.records[i].message);
            }
            const Bytes bytes = writer.finish(block.info.mostPlayers);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            ++blocks;
        }
        ++copies;
        if (shift + copyMs >= wantMs)
            break;
    }
    out.close();
    if (!out) {
        std::cerr << "demo-repeat: could not write " << argv[3] << "\n";
        return 1;
    }
    std::cout << "copies=" << copies << " blocks=" << blocks << " length_ms=" << shift + copyMs << "\n";
    return 0;
}
