// A disk that fills up, fails or stalls: recordings and bans lose nothing whole, and the passes never wait.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/admin.h"
#include "app/recorder.h"
#include "harness.h"
#include "net/memory/memory_transport.h"
#include "temp_dir.h"

namespace skirmish::testing {
namespace {
namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::StartsWith;

// Takes `room` bytes more, then is full (a write cut short, then ENOSPC); fails
// every fsync when told to; holds every write while stalled.
class FakeDisk final : public DiskIo {
public:
    std::atomic<int64_t> room{INT64_MAX};
    std::atomic<bool> failSync{false};

    ssize_t write(int fd, const void* data, size_t bytes) override
    {
        std::unique_lock lock(mutex_);
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !stalled_; });
        --held_;
        if (room <= 0) {
            errno = ENOSPC;
            return -1;
        }
        size_t take = std::min<size_t>(bytes, static_cast<size_t>(room.load()));
        room -= static_cast<int64_t>(take);
        return ::write(fd, data, take);
    }
    int fsync(int fd) override { return failSync ? (errno = EIO, -1) : ::fsync(fd); }
    void stall(bool on) { std::lock_guard lock(mutex_); stalled_ = on; changed_.notify_all(); }
    void awaitHeldWrite() { std::unique_lock lock(mutex_); changed_.wait(lock, [&] { return held_ > 0; }); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stalled_ = false;
    int held_ = 0;
};

std::vector<std::string> Demos(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        if (IsDemoFileName(entry.path().filename().string()))
            names.push_back(entry.path().string());
    return names;
}

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

DemoScan Scan(const std::string& path) { std::string t = ReadText(path); return ScanDemo(Bytes(t.begin(), t.end())); }

size_t LinesStarting(const std::vector<std::string>& lines, std::string_view start)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.starts_with(start); }));
}

// Chat no compressor can shrink, a message a pass.
void Chatter(ServerHarness& server, int id, uint32_t& seed)
{
    std::string text(200, ' ');
    for (char& c : text)
        c = static_cast<char>('a' + (seed = seed * 1103515245 + 12345) % 26);
    server.net->send(id, command::PlayerMessage(text));
    server.clock.advance(17);
    server.pass();
}

// With SKIRMISH_SMALL_FS naming a small tmpfs (the ctest case in a private mount
// namespace), the real disk fills; otherwise the fake one does.
TEST(Disk, a_full_disk_stops_the_recording_on_its_last_whole_block_and_a_failed_retry_says_so_once)
{
    TempDir temp;
    FakeDisk fake;
    const char* small = std::getenv("SKIRMISH_SMALL_FS");
    const std::string dir = small ? small : temp.path;
    fake.room = small ? INT64_MAX : 30000;
    ServerHarness server{5};
    Recorder recorder({.dir = dir}, DemoHeader{}, [] { return int64_t{1700000000000}; }, fake);
    server.loop.recorder = &recorder;
    int id = server.joinAlive(0, 0);
    uint32_t seed = 1;
    for (int pass = 0; pass < 100000 && recorder.failures() == 0; ++pass) {
        Chatter(server, id, seed);
        if (pass % 60 == 0)
            recorder.settle();
    }
    server.pass();
    ASSERT_EQ(recorder.failures(), 1u);
    EXPECT_EQ(recorder.currentName(), "");
    ASSERT_EQ(Demos(dir).size(), 1u);
    DemoScan scan = Scan(Demos(dir)[0]);
    EXPECT_TRUE(scan.damage.empty() && !scan.blocks.empty());
    // Whatever room the cut gave back is taken, then each join tries again.
    fake.room = 0;
    std::ofstream(dir + "/filler", std::ios::binary) << std::string(1 << 20, 'x');
    for (int retry = 0; retry < 3; ++retry) {
        server.net->disconnect(id);
        server.pass();
        id = server.join();
        recorder.settle();
    }
    EXPECT_EQ(Demos(dir).size(), 1u); // no empty file left behind
    EXPECT_EQ(LinesStarting(server.consoleLines(), "Recording stopped: cannot write"), 1u);
    EXPECT_EQ(LinesStarting(server.consoleLines(), "Recording could not start again: "), 1u);
    EXPECT_EQ(recorder.failures(), 4u);
}

// A write held for 5 s of the game's clock: every pass answers its moves; the recording (named past one
// already in the folder) is whole after.
TEST(Disk, a_stalled_write_holds_no_pass_and_the_recording_is_whole_after_it)
{
    TempDir dir;
    FakeDisk fake;
    ServerHarness server{5};
    Recorder recorder({.dir = dir.path}, DemoHeader{}, [] { return int64_t{1700000000000}; }, fake);
    server.loop.recorder = &recorder;
    std::ofstream(dir.path + "/" + DemoFileName(1700000000000, 0));
    int id = server.joinAlive(0, 0);
    recorder.settle();
    const std::string name = recorder.currentName();
    EXPECT_EQ(name, DemoFileName(1700000000000, 0, 2));
    fake.stall(true);
    int answered = 0;
    for (int pass = 0; pass < 5000 / 17; ++pass) {
        server.net->clearReceived();
        server.net->send(id, command::Move(1, 0));
        server.clock.advance(17);
        server.pass();
        answered += !server.received(id).empty();
        if (pass == 100)
            fake.awaitHeldWrite(); // the first block's write is held from here on
    }
    EXPECT_EQ(answered, 5000 / 17);
    fake.stall(false);
    recorder.finish();
    DemoScan scan = Scan(dir.path + "/" + name);
    EXPECT_TRUE(scan.damage.empty() && scan.blocks.back().info.lastMs >= 4900u);
}

// Bans: in force at once, answered once on disk (passes go on meanwhile), an error and the file as it was when
// unsaved, written through a link; SIGHUP's reload takes a sound file and keeps the bans for a malformed one.
TEST(Disk, bans_wait_for_the_disk_not_the_pass_and_a_reload_keeps_them_when_the_file_is_bad)
{
    TempDir dir;
    const std::string target = dir.path + "/real-bans.txt", link = dir.path + "/bans.txt";
    fs::create_symlink("real-bans.txt", link);
    std::string error;
    BanList bans(ResolveBanFile(link, error).value());
    ASSERT_TRUE(bans.load(0, error));
    FakeDisk fake;
    ServerHarness server{5};
    Admin admin(bans, [] { return int64_t{1000}; }, fake, "bans.txt");
    bool reload = false;
    admin.reloadWhen([&] { return std::exchange(reload, false); }, {});
    server.loop.admin = &admin;
    auto command = [&](const std::string& line) {
        std::istringstream in(line + "\n");
        admin.link().readStandardInput(in, -1);
        server.pass();
    };
    auto settle = [&] { admin.settle(), server.pass(); };
    fake.stall(true);
    command("ban 10.0.0.9 raging");
    fake.awaitHeldWrite();
    for (int pass = 0; pass < 300; ++pass)
        server.pass();
    EXPECT_TRUE(admin.refuses("10.0.0.9"));
    EXPECT_THAT(server.consoleLines(), ::testing::Not(Contains(StartsWith("banned"))));
    fake.stall(false);
    settle();
    EXPECT_THAT(server.consoleLines(), Contains("banned address=10.0.0.9 until=never ended=0"));
    EXPECT_TRUE(fs::is_symlink(link));
    const std::string saved = ReadText(target);
    EXPECT_NE(saved.find("10.0.0.9 never raging"), std::string::npos);

    fake.failSync = true;
    command("ban 10.0.0.8");
    settle();
    EXPECT_THAT(server.consoleLines(), Contains(StartsWith("Error: the ban list could not be written to " + target)));
    EXPECT_FALSE(admin.refuses("10.0.0.8"));
    EXPECT_EQ(ReadText(target), saved);

    struct Case {
        std::string file, line;
    };
    for (const Case& c : {Case{"10.1.1.1 never\n10.1.1.2 never\n", "Bans reloaded from bans.txt: 2 bans."},
                          Case{"10.1.1.3 never\njunk\n", "Bans not reloaded: " + target +
                                   ":2: no IP address at the start of the line; the 2 bans in force stay."},
                          Case{"10.1.1.3 2026-02-30T00:00:00Z\n", "Bans not reloaded: " + target +
                                   ":1: the second word must be \"never\" or a time such as 2026-12-08T03:00:00Z; the 2 bans in force stay."}}) {
        std::ofstream(target) << c.file;
        reload = true;
        server.pass();
        settle();
        EXPECT_THAT(server.consoleLines(), Contains(c.line));
        EXPECT_TRUE(admin.refuses("10.1.1.1"));
        EXPECT_EQ(admin.refuses("10.1.1.3"), false);
        EXPECT_FALSE(admin.refuses("10.0.0.9"));
    }
}

} // namespace
} // namespace skirmish::testing
