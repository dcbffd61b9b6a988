#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/demo_shelf.h"
#include "app/recorder.h"
#include "demo/demo_format.h"
#include "harness.h"
#include "net/memory/memory_transport.h"
#include "temp_dir.h"

namespace skirmish::testing {
namespace {

namespace fs = std::filesystem;

Bytes ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Files(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void Frame(Bytes& stream, std::span<const uint8_t> message)
{
    stream.push_back(static_cast<uint8_t>(message.size()));
    stream.push_back(static_cast<uint8_t>(message.size() >> 8));
    stream.insert(stream.end(), message.begin(), message.end());
}

// What a player of the file applies from its start, framed as packets frame messages:
// the first block whole, then each later block's records after its keyframe.
Bytes PlayedFromStart(const DemoScan& scan)
{
    Bytes stream;
    for (const DemoBlock& block : scan.blocks)
        for (size_t i = &block == &scan.blocks.front() ? 0 : block.info.keyframeRecords; i < block.records.size(); ++i)
            Frame(stream, block.records[i].message);
    return stream;
}

// A match of a few seconds: a spectator from before the first join, a fight, moves,
// chat and a leave; a second spectator arrives in the pass that takes the second keyframe.
TEST(Recording, replays_to_the_bytes_a_spectator_was_sent_and_its_keyframes_are_a_spectators_snapshot)
{
    TempDir dir;
    ServerHarness server{5};
    Recorder recorder({.dir = dir.path}, DemoHeader{.port = 23987}, [] { return int64_t{1700000000000}; });
    server.loop.recorder = &recorder;
    MemoryTransport& net = *server.net;
    int watcher = net.connect("127.0.0.1", Role::Spectator);
    server.pass();
    int shooter = server.join();
    server.send(shooter, command::Name("shooter"));
    server.bringToLife(shooter, 100, 100);
    int target = server.join();
    server.send(target, command::Name("target"));
    server.bringToLife(target, 100, -300);
    server.clock.advance(600);
    server.send(shooter, command::Fire());
    int late = 0;
    for (int tick = 1; tick <= 400; ++tick) { // 6.8 s
        server.clock.advance(17);
        if (tick % 20 == 0)
            net.send(target, command::Move(1, 0));
        if (tick == 259) // 600 + 259 * 17 = 5,003 ms after the recording began: the second keyframe is due
            late = net.connect("127.0.0.1", Role::Spectator);
        server.pass();
    }
    server.send(target, command::PlayerMessage("gg"));
    net.disconnect(target);
    server.pass();
    NetShutdown();
    recorder.finish();

    ASSERT_EQ(Files(dir.path), std::vector<std::string>{"20231114T221320Z-23987.demo"});
    DemoScan scan = ScanDemo(ReadFile(fs::path(dir.path) / "20231114T221320Z-23987.demo"));
    EXPECT_EQ(scan.damage, "");
    ASSERT_GE(scan.blocks.size(), 7u); // one a second at least
    EXPECT_EQ(PlayedFromStart(scan), net.bytesTo(watcher));

    auto second = std::find_if(scan.blocks.begin() + 1, scan.blocks.end(), [](auto& b) { return b.info.keyframe; });
    ASSERT_NE(second, scan.blocks.end());
    Bytes keyframe, lateSaw = net.bytesTo(late);
    for (size_t i = 0; i < second->info.keyframeRecords; ++i)
        Frame(keyframe, second->records[i].message);
    EXPECT_EQ(Bytes(lateSaw.begin(), lateSaw.begin() + static_cast<ptrdiff_t>(std::min(keyframe.size(), lateSaw.size()))), keyframe);
    EXPECT_EQ(second->info.firstMs, 5003u); // the pass's own clock reading
}

// A small file of three blocks, cut at every byte and damaged in every block.
TEST(Recording, a_file_cut_or_damaged_anywhere_plays_its_whole_blocks_before_that_point)
{
    DemoBlockWriter writer;
    Bytes file = EncodeDemoHeader({.tickMs = 17, .port = 1, .mapWidth = 10, .mapHeight = 0x01020304, .seed = 7});
    std::vector<size_t> ends;
    for (uint32_t block = 0; block < 3; ++block) {
        writer.addKeyframe(block * 1000, message::LevelInfo(1, 10, 10, 2).bytes());
        for (uint32_t record = 0; record < 5; ++record)
            writer.add(block * 1000 + record * 17, message::Moved(1, 1.5f * record, 2).bytes());
        writer.add(block * 1000 + 68, Bytes{3, 1, 1, 0, 'x', 9}); // no sound fields: stored as it came
        Bytes bytes = writer.finish(2);
        file.insert(file.end(), bytes.begin(), bytes.end());
        ends.push_back(file.size());
    }
    for (size_t cut = 0; cut <= file.size(); ++cut) {
        DemoScan scan = ScanDemo(std::span(file).first(cut));
        size_t whole = static_cast<size_t>(std::count_if(ends.begin(), ends.end(), [&](size_t end) { return end <= cut; }));
        ASSERT_EQ(scan.blocks.size(), whole) << "cut at " << cut;
        bool atBoundary = cut == kDemoHeaderBytes || std::count(ends.begin(), ends.end(), cut) == 1;
        ASSERT_EQ(scan.damage.empty(), atBoundary) << "cut at " << cut;
    }
    for (size_t block = 0; block < ends.size(); ++block) {
        Bytes damaged = file;
        damaged[ends[block] - 3] ^= 0x40;
        DemoScan scan = ScanDemo(damaged);
        EXPECT_EQ(scan.blocks.size(), block);
        EXPECT_EQ(scan.soundBytes, block ? ends[block - 1] : kDemoHeaderBytes);
    }
    DemoScan whole = ScanDemo(file);
    ASSERT_EQ(whole.blocks.size(), 3u);
    EXPECT_EQ(whole.blocks[2].records[5].timeMs, 2068u);
    EXPECT_EQ(Bytes(whole.blocks[2].records[6].message.begin(), whole.blocks[2].records[6].message.end()),
              (Bytes{3, 1, 1, 0, 'x', 9}));

    // A clip from 1.5 s to 2.01 s starts at the keyframe of 1 s and ends with the record of 2 s.
    DemoScan cut = ScanDemo(CutDemo(whole, 1500, 2010).value());
    ASSERT_EQ(cut.blocks.size(), 2u);
    EXPECT_TRUE(cut.blocks[0].info.keyframe && cut.header->startUnixMs == 1000);
    EXPECT_EQ(std::make_pair(cut.blocks[0].records.size(), cut.blocks[1].records.size()), std::make_pair(7ul, 2ul));
    EXPECT_EQ(cut.blocks[1].records.back().timeMs, 1000u);
    EXPECT_FALSE(CutDemo(whole, 3000, 2000));
    EXPECT_EQ(ScanDemo(*CutDemo(whole, 2000, 2000)).header->startUnixMs, 2000); // a keyframe at FROM is its start
    EXPECT_EQ(whole.header->mapHeight, 0x01020304u);

    // A listing reads a file as far as its blocks are whole, and on from there as it grows.
    TempDir dir;
    const std::string name = "20231114T221320Z-1.demo", path = dir.path + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(ends[2] - 10));
    DemoShelf shelf(dir.path);
    std::vector<DemoSummary> listed = shelf.list();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(std::make_tuple(listed[0].lengthMs, listed[0].mostPlayers, listed[0].bytes),
              std::make_tuple(whole.blocks[1].info.lastMs, uint16_t{2}, uint64_t{ends[2] - 10}));
    std::ofstream(path, std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(file.data() + ends[2] - 10), 10);
    EXPECT_EQ(shelf.list()[0].lengthMs, 2068u);
    EXPECT_THAT(DemoListPage(shelf.list(), name), ::testing::HasSubstr(">1970-01-01 00:00:00</a> (recording)</td><td>0:02<"));
    // Only a regular file in the folder itself opens; a link or a FIFO named like a
    // recording is neither listed nor opened, and nothing waits on the FIFO.
    const std::string link = "20231114T221321Z-1.demo", fifo = "20231114T221322Z-1.demo";
    fs::create_symlink(path, dir.path + "/" + link);
    ASSERT_EQ(mkfifo((dir.path + "/" + fifo).c_str(), 0644), 0);
    for (const auto& [asked, opens] : {std::pair{name, true}, {"../" + name, false}, {link, false}, {fifo, false}}) {
        int fd = shelf.open(asked);
        EXPECT_EQ(fd >= 0, opens) << asked;
        if (fd >= 0)
            close(fd);
    }
    EXPECT_EQ(shelf.list().size(), 1u);

    // The largest message a record holds goes through whole.
    writer.add(0, Bytes(kMaxMessageBytes, 'x'));
    auto largest = ReadDemoBlock(writer.finish(0));
    EXPECT_EQ(largest.value().records[0].message.size(), kMaxMessageBytes);
}

TEST(Recording, retention_removes_the_oldest_recordings_first_and_never_the_one_being_written)
{
    struct Case {
        int keep;
        uint64_t maxBytes;
        std::string current;
        std::vector<std::string> left;
    };
    const std::string a = "20261201T000000Z-1.demo", b = "20261202T000000Z-1.demo", c = "20261202T000000Z-1-2.demo",
                      d = "20261203T000000Z-1.demo";
    const Case cases[] = {
        {4, 1000, d, {c, b, a, d}},        // within both limits
        {2, 1000, d, {b, d}},              // by count: a and c ("-2" sorts first) go
        {4, 250, d, {b, d}},               // by size: 100 bytes each
        {1, 1000, a, {a}},                 // the oldest is being written: the next oldest go
        {2, 1000, "", {b, d}},             // nothing being written; notes.txt is not ours to remove
    };
    for (const Case& test : cases) {
        TempDir dir;
        for (const std::string& name : {a, b, c, d, std::string("notes.txt")})
            std::ofstream(fs::path(dir.path) / name) << std::string(100, 'x');
        ApplyRetention({.dir = dir.path, .keep = test.keep, .maxBytes = test.maxBytes}, test.current);
        std::vector<std::string> left = test.left;
        left.push_back("notes.txt");
        std::sort(left.begin(), left.end());
        EXPECT_EQ(Files(dir.path), left) << "keep " << test.keep << " bytes " << test.maxBytes;
    }
}

// Blocks reach the file within a second; a minute with nobody ends the file and the
// next player starts another; a folder that cannot be written stops recording, not the game.
TEST(Recording, writes_each_second_ends_after_a_minute_empty_and_a_failure_stops_only_the_recording)
{
    TempDir dir;
    ServerHarness server{5};
    int64_t wall = 1700000000000;
    Recorder recorder({.dir = dir.path + "/demos"}, DemoHeader{.port = 9}, [&] { return wall; });
    server.loop.recorder = &recorder;
    int first = server.join();
    const fs::path file = fs::path(dir.path) / "demos" / recorder.currentName();
    server.send(first, command::Name("a"));
    server.bringToLife(first, 0, 0);
    EXPECT_EQ(MillisecondsUntilDue(*server.level, server.loop, server.clock.now()), kDemoFlushMs);
    server.clock.advance(kDemoFlushMs);
    server.pass();
    recorder.settle();
    EXPECT_EQ(ScanDemo(ReadFile(file)).blocks.size(), 1u); // readable while written
    server.net->disconnect(first);
    server.pass();
    server.clock.advance(kDemoFlushMs);
    server.pass(); // writes the leave; empty from here
    EXPECT_EQ(MillisecondsUntilDue(*server.level, server.loop, server.clock.now()), kDemoEmptyEndMs);
    server.clock.advance(kDemoEmptyEndMs);
    server.pass();
    EXPECT_EQ(recorder.currentName(), "");
    wall += 61000;
    server.join();
    recorder.settle();
    EXPECT_EQ(Files(dir.path + "/demos").size(), 2u);

    Recorder blocked({.dir = file.string()}, DemoHeader{}, [] { return int64_t{0}; });
    server.loop.recorder = &blocked;
    server.console.str("");
    EXPECT_NE(server.join(), 0);
    blocked.settle();
    EXPECT_EQ(blocked.currentName(), "");
    EXPECT_THAT(server.consoleLines(), ::testing::Contains(::testing::StartsWith("Recording stopped: cannot create")));
}

} // namespace
} // namespace skirmish::testing
