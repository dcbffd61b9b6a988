#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "demo/record_streams.h"
#include "protocol/codec.h"

namespace skirmish {

// A recording: a header, then blocks of records, each block written whole with one
// write. docs/demo-format.md is the contract; readers stop at the first block that
// is not whole and sound, so a file cut anywhere plays up to its last whole block.
constexpr uint16_t kDemoFormatVersion = 1;
constexpr size_t kDemoHeaderBytes = 40;
constexpr size_t kDemoBlockHeadBytes = 36;
// Both sizes of a block's payload stay within this, so a reader never allocates more.
constexpr uint32_t kMaxDemoBlockBytes = 4 * 1024 * 1024;

struct DemoHeader {
    uint16_t formatVersion = kDemoFormatVersion;
    uint16_t protocolVersion = kProtocolVersion;
    uint16_t tickMs = 0;
    uint16_t port = 0;
    uint32_t mapWidth = 0;
    uint32_t mapHeight = 0;
    uint32_t seed = 0;
    int64_t startUnixMs = 0;
};

Bytes EncodeDemoHeader(const DemoHeader& header);
// Nothing when the bytes are short, or the magic, version or CRC is not known.
std::optional<DemoHeader> DecodeDemoHeader(std::span<const uint8_t> bytes);

// What a block's head says. Its offset is where the block starts in the file.
struct DemoBlockInfo {
    uint64_t offset = 0;
    bool keyframe = false;
    uint16_t mostPlayers = 0;
    uint32_t firstMs = 0;
    uint32_t lastMs = 0;
    uint32_t keyframeRecords = 0;
    uint32_t records = 0;
    uint32_t rawBytes = 0;
    uint32_t storedBytes = 0;
    uint64_t size() const { return kDemoBlockHeadBytes + storedBytes; }
};

// A block's head on its own, checked for its mark and limits but not its CRC:
// enough to list a file without inflating it.
std::optional<DemoBlockInfo> DecodeDemoBlockHead(std::span<const uint8_t> head);

struct DemoRecord {
    uint32_t timeMs = 0; // since the recording began
    std::span<const uint8_t> message;
};

// A block's records, inflated, joined from their streams and checked; the spans point into raw.
struct DemoBlock {
    DemoBlockInfo info;
    Bytes raw;
    std::vector<DemoRecord> records;
};

// The block at the start of bytes, whole and sound; nothing otherwise.
std::optional<DemoBlock> ReadDemoBlock(std::span<const uint8_t> bytes);

// Gathers records, then writes them as one block.
class DemoBlockWriter {
public:
    // Records given before any add() of a stream record form the keyframe.
    void addKeyframe(uint32_t timeMs, std::span<const uint8_t> message);
    void add(uint32_t timeMs, std::span<const uint8_t> message);
    bool empty() const { return records_ == 0; }
    uint32_t firstMs() const { return firstMs_; }
    size_t rawBytes() const { return streams_.size(); }
    // The whole block (head and compressed payload); the writer starts afresh.
    Bytes finish(uint16_t mostPlayers);

private:
    void append(uint32_t timeMs, std::span<const uint8_t> message);

    RecordStreamWriter streams_;
    uint32_t records_ = 0;
    uint32_t keyframeRecords_ = 0;
    uint32_t firstMs_ = 0;
    uint32_t lastMs_ = 0;
};

// A whole file read: the header, every sound block, and where the first damage is.
struct DemoScan {
    std::optional<DemoHeader> header;
    std::vector<DemoBlock> blocks;
    uint64_t soundBytes = 0; // header and sound blocks
    std::string damage;      // why reading stopped before the end; empty when it did not
};
DemoScan ScanDemo(std::span<const uint8_t> file);

// A clip of the sound part of a file: from the last keyframe at or before fromMs to the
// last record at or before toMs, its times (and the header's start) counted from that
// keyframe. Nothing when no block starts at or before toMs.
std::optional<Bytes> CutDemo(const DemoScan& scan, uint32_t fromMs, uint32_t toMs);

} // namespace skirmish
