#include "demo/demo_format.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "demo/record_streams.h"

namespace skirmish {
namespace {

constexpr std::array<uint8_t, 8> kMagic = {'S', 'K', 'I', 'R', 'D', 'E', 'M', 'O'};
constexpr std::array<uint8_t, 4> kBlockMark = {'B', 'L', 'K', '1'};
constexpr uint8_t kKeyframeFlag = 1;

void Put(Bytes& out, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t Get(std::span<const uint8_t> in, size_t at, size_t bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(in[at + i]) << (8 * i);
    return value;
}

uint32_t Crc(uint32_t crc, std::span<const uint8_t> bytes)
{
    // zlib takes a 32-bit length; a block's parts stay far below it.
    return static_cast<uint32_t>(crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

bool SameBytes(std::span<const uint8_t> bytes, std::span<const uint8_t> expected)
{
    return bytes.size() >= expected.size() && std::equal(expected.begin(), expected.end(), bytes.begin());
}

// The records of an inflated payload, or nothing when they do not match the head.
std::optional<std::vector<DemoRecord>> SplitRecords(const DemoBlockInfo& info, std::span<const uint8_t> raw)
{
    std::vector<DemoRecord> records;
    uint64_t time = info.firstMs;
    for (size_t pos = 0; pos < raw.size();) {
        auto delta = GetVarint(raw, pos);
        auto length = delta ? GetVarint(raw, pos) : std::nullopt;
        if (!length || *length == 0 || *length > kMaxMessageBytes || *length > raw.size() - pos)
            return std::nullopt;
        time += *delta;
        if (time > info.lastMs || records.size() == info.records)
            return std::nullopt;
        records.push_back({static_cast<uint32_t>(time), raw.subspan(pos, *length)});
        pos += *length;
    }
    if (records.size() != info.records || records.back().timeMs != info.lastMs)
        return std::nullopt;
    return records;
}

} // namespace

Bytes EncodeDemoHeader(const DemoHeader& header)
{
    Bytes out(kMagic.begin(), kMagic.end());
    Put(out, header.formatVersion, 2);
    Put(out, header.protocolVersion, 2);
    Put(out, header.tickMs, 2);
    Put(out, header.port, 2);
    Put(out, header.mapWidth, 4);
    Put(out, header.mapHeight, 4);
    Put(out, header.seed, 4);
    Put(out, static_cast<uint64_t>(header.startUnixMs), 8);
    Put(out, Crc(0, out), 4);
    return out;
}

std::optional<DemoHeader> DecodeDemoHeader(std::span<const uint8_t> bytes)
{
    if (bytes.size() < kDemoHeaderBytes || !SameBytes(bytes, kMagic) ||
        Get(bytes, 36, 4) != Crc(0, bytes.first(36)) || Get(bytes, 8, 2) != kDemoFormatVersion)
        return std::nullopt;
    DemoHeader header;
    header.formatVersion = static_cast<uint16_t>(Get(bytes, 8, 2));
    header.protocolVersion = static_cast<uint16_t>(Get(bytes, 10, 2));
    header.tickMs = static_cast<uint16_t>(Get(bytes, 12, 2));
    header.port = static_cast<uint16_t>(Get(bytes, 14, 2));
    header.mapWidth = static_cast<uint32_t>(Get(bytes, 16, 4));
    header.mapHeight = static_cast<uint32_t>(Get(bytes, 20, 4));
    header.seed = static_cast<uint32_t>(Get(bytes, 24, 4));
    header.startUnixMs = static_cast<int64_t>(Get(bytes, 28, 8));
    return header;
}

std::optional<DemoBlockInfo> DecodeDemoBlockHead(std::span<const uint8_t> head)
{
    if (head.size() < kDemoBlockHeadBytes || !SameBytes(head, kBlockMark) || (head[4] & ~kKeyframeFlag) != 0 ||
        head[5] != 0)
        return std::nullopt;
    DemoBlockInfo info;
    info.keyframe = (head[4] & kKeyframeFlag) != 0;
    info.mostPlayers = static_cast<uint16_t>(Get(head, 6, 2));
    info.firstMs = static_cast<uint32_t>(Get(head, 8, 4));
    info.lastMs = static_cast<uint32_t>(Get(head, 12, 4));
    info.keyframeRecords = static_cast<uint32_t>(Get(head, 16, 4));
    info.records = static_cast<uint32_t>(Get(head, 20, 4));
    info.rawBytes = static_cast<uint32_t>(Get(head, 24, 4));
    info.storedBytes = static_cast<uint32_t>(Get(head, 28, 4));
    bool sound = info.firstMs <= info.lastMs && info.records > 0 && info.keyframeRecords <= info.records &&
                 info.keyframe == (info.keyframeRecords > 0) && info.rawBytes <= kMaxDemoBlockBytes &&
                 info.storedBytes <= kMaxDemoBlockBytes;
    return sound ? std::optional(info) : std::nullopt;
}

std::optional<DemoBlock> ReadDemoBlock(std::span<const uint8_t> bytes)
{
    auto info = DecodeDemoBlockHead(bytes);
    if (!info || bytes.size() < info->size())
        return std::nullopt;
    std::span<const uint8_t> stored = bytes.subspan(kDemoBlockHeadBytes, info->storedBytes);
    if (Get(bytes, 32, 4) != Crc(Crc(0, bytes.first(32)), stored))
        return std::nullopt;
    Bytes payload(info->rawBytes);
    uLongf rawBytes = info->rawBytes;
    if (uncompress(payload.data(), &rawBytes, stored.data(), stored.size()) != Z_OK || rawBytes != info->rawBytes)
        return std::nullopt;
    auto joined = JoinRecordStreams(payload, info->records);
    if (!joined)
        return std::nullopt;
    DemoBlock block{*info, std::move(*joined), {}};
    auto records = SplitRecords(*info, block.raw);
    if (!records)
        return std::nullopt;
    block.records = std::move(*records);
    return block;
}

void DemoBlockWriter::addKeyframe(uint32_t timeMs, std::span<const uint8_t> message)
{
    append(timeMs, message);
    if (records_ == keyframeRecords_ + 1)
        ++keyframeRecords_;
}

void DemoBlockWriter::add(uint32_t timeMs, std::span<const uint8_t> message) { append(timeMs, message); }

void DemoBlockWriter::append(uint32_t timeMs, std::span<const uint8_t> message)
{
    if (records_ == 0)
        firstMs_ = lastMs_ = timeMs;
    timeMs = std::max(timeMs, lastMs_); // never backwards
    streams_.add(timeMs - lastMs_, message);
    lastMs_ = timeMs;
    ++records_;
}

Bytes DemoBlockWriter::finish(uint16_t mostPlayers)
{
    const Bytes payload = streams_.finish();
    Bytes stored(compressBound(payload.size()));
    uLongf storedBytes = stored.size();
    // Level 6: zlib's default, most of what 9 saves at a fraction of its time.
    compress2(stored.data(), &storedBytes, payload.data(), payload.size(), 6);
    stored.resize(storedBytes);

    Bytes block(kBlockMark.begin(), kBlockMark.end());
    block.push_back(keyframeRecords_ > 0 ? kKeyframeFlag : 0);
    block.push_back(0);
    Put(block, mostPlayers, 2);
    Put(block, firstMs_, 4);
    Put(block, lastMs_, 4);
    Put(block, keyframeRecords_, 4);
    Put(block, records_, 4);
    Put(block, payload.size(), 4);
    Put(block, stored.size(), 4);
    Put(block, Crc(Crc(0, block), stored), 4);
    block.insert(block.end(), stored.begin(), stored.end());
    *this = DemoBlockWriter{};
    return block;
}

DemoScan ScanDemo(std::span<const uint8_t> file)
{
    DemoScan scan;
    scan.header = DecodeDemoHeader(file);
    if (!scan.header) {
        scan.damage = "no sound header";
        return scan;
    }
    uint64_t pos = kDemoHeaderBytes;
    uint32_t lastMs = 0;
    while (pos < file.size()) {
        auto block = ReadDemoBlock(file.subspan(pos));
        if (!block || block->info.firstMs < lastMs) {
            scan.damage = "block at offset " + std::to_string(pos) + " is not whole and sound";
            break;
        }
        block->info.offset = pos;
        lastMs = block->info.lastMs;
        pos += block->info.size();
        scan.blocks.push_back(std::move(*block));
    }
    scan.soundBytes = pos;
    return scan;
}

std::optional<Bytes> CutDemo(const DemoScan& scan, uint32_t fromMs, uint32_t toMs)
{
    size_t first = 0;
    for (size_t i = 0; i < scan.blocks.size() && scan.blocks[i].info.firstMs <= fromMs; ++i)
        if (scan.blocks[i].info.keyframe)
            first = i;
    if (!scan.header || scan.blocks.empty() || toMs < fromMs || scan.blocks[first].info.firstMs > toMs)
        return std::nullopt;
    const uint32_t shift = scan.blocks[first].info.firstMs;
    DemoHeader header = *scan.header;
    header.startUnixMs += shift;
    Bytes clip = EncodeDemoHeader(header);
    for (size_t i = first; i < scan.blocks.size() && scan.blocks[i].info.firstMs <= toMs; ++i) {
        const DemoBlock& block = scan.blocks[i];
        DemoBlockWriter writer;
        for (size_t r = 0; r < block.records.size() && block.records[r].timeMs <= toMs; ++r) {
            const DemoRecord& record = block.records[r];
            if (r < block.info.keyframeRecords)
                writer.addKeyframe(record.timeMs - shift, record.message);
            else
                writer.add(record.timeMs - shift, record.message);
        }
        Bytes bytes = writer.finish(block.info.mostPlayers);
        clip.insert(clip.end(), bytes.begin(), bytes.end());
    }
    return clip;
}

} // namespace skirmish
