// Any bytes as a recording: read block by block, every block's records written again
// and read back the same. And any bytes as messages: through a block and back unchanged,
// whatever their fields. Nothing may read outside its input, loop or crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "demo/demo_format.h"

namespace {

using namespace skirmish;

void RoundTrip(const std::vector<std::pair<uint32_t, std::span<const uint8_t>>>& records, size_t keyframe)
{
    DemoBlockWriter writer;
    for (size_t i = 0; i < records.size(); ++i)
        i < keyframe ? writer.addKeyframe(records[i].first, records[i].second) : writer.add(records[i].first, records[i].second);
    if (writer.empty())
        return;
    Bytes block = writer.finish(1);
    auto read = ReadDemoBlock(block);
    if (!read || read->records.size() != records.size())
        std::abort();
    for (size_t i = 0; i < records.size(); ++i)
        if (!std::equal(records[i].second.begin(), records[i].second.end(), read->records[i].message.begin(),
                        read->records[i].message.end()))
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::span<const uint8_t> input(data, size);
    DemoScan scan = ScanDemo(input);
    for (const DemoBlock& block : scan.blocks) {
        std::vector<std::pair<uint32_t, std::span<const uint8_t>>> records;
        for (const DemoRecord& record : block.records)
            records.emplace_back(record.timeMs, record.message);
        RoundTrip(records, block.info.keyframeRecords);
    }
    // The input as messages behind 16-bit lengths, as a packet carries them.
    std::vector<std::pair<uint32_t, std::span<const uint8_t>>> messages;
    size_t pos = 0;
    while (auto message = NextMessage(input, pos))
        if (!message->empty())
            messages.emplace_back(static_cast<uint32_t>(messages.size()), *message);
    RoundTrip(messages, messages.size() / 3);
    return 0;
}
