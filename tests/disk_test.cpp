// A disk that fills up, fails or stalls: recordings and bans lose nothing whole, and the passes never wait.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/admin.h"
#include "app/event_log.h"
#include "app/recorder.h"
#include "harness.h"
#include "net/memory/memory_transport.h"
#include "temp_dir.h"

namespace skirmish::testing {
namespace {
namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Takes `room` bytes more, then is full (a write cut short, then ENOSPC); fails
// every fsync when told to; holds every write while stalled.
class FakeDisk final : public DiskIo {
public:
    std::atomic<int64_t> room{INT64_MAX};
    std::atomic<bool> failSync{false};
    std::atomic<bool> failFolderSync{false};
    std::atomic<bool> failTruncate{false};

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
    int fsync(int fd) override
    {
        struct stat status {};
        bool folder = fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
        return failSync || (failFolderSync && folder) ? (errno = EIO, -1) : ::fsync(fd);
    }
    int truncate(int fd, off_t length) override { return failTruncate ? (errno = EIO, -1) : ::ftruncate(fd, length); }
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
    ASSERT_TRUE(bans.load(error));
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

// An operator's connection to the admin socket: one line sent, then read without waiting, so the passes go on.
struct Operator {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string got;
    bool closed = false;
    Operator(const std::string& path, const std::string& line)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
        shutdown(fd, SHUT_WR);
    }
    ~Operator() { ::close(fd); }
    void read()
    {
        char chunk[1 << 16];
        for (ssize_t got_; !closed && (got_ = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) >= 0;)
            got_ == 0 ? void(closed = true) : void(got.append(chunk, static_cast<size_t>(got_)));
    }
};

std::string BanLines(int count)
{
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += "10." + std::to_string(i >> 16) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255) + " never\n";
    return lines;
}

// Operators whose connections end while a ban is written each get their answer (none is closed unanswered while its
// command still runs), and a listing of 100,000 bans streams whole, with the bans not yet written among them.
TEST(Disk, every_operator_waiting_on_a_ban_write_is_answered_and_a_listing_of_any_length_streams)
{
    TempDir dir;
    FakeDisk fake;
    ServerHarness server{5};
    std::ofstream(dir.path + "/bans.txt") << BanLines(100000);
    BanList bans(dir.path + "/bans.txt");
    std::string error;
    ASSERT_TRUE(bans.load(error));
    Admin admin(bans, [] { return int64_t{1000}; }, fake);
    ASSERT_TRUE(admin.link().listen(dir.path + "/admin.sock", error));
    server.loop.admin = &admin;
    fake.stall(true);
    std::vector<std::unique_ptr<Operator>> operators;
    for (int i = 0; i < 8; ++i) {
        operators.push_back(std::make_unique<Operator>(dir.path + "/admin.sock", i < 7 ? "ban 192.0.2." + std::to_string(i) + "\n" : "bans\n"));
        server.pass();
    }
    fake.awaitHeldWrite();
    for (int pass = 0; pass < 50; ++pass)
        server.pass();
    fake.stall(false);
    for (int pass = 0; pass < 100000 && !std::all_of(operators.begin(), operators.end(), [](auto& o) { return o->closed; }); ++pass) {
        admin.settle();
        server.pass();
        for (auto& o : operators)
            o->read();
    }
    for (int i = 0; i < 7; ++i)
        EXPECT_THAT(operators[i]->got, StartsWith("banned address=192.0.2." + std::to_string(i) + " ")) << i;
    const std::string& listing = operators[7]->got;
    EXPECT_THAT(listing, StartsWith("bans=100007\n"));
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 100008);
    EXPECT_THAT(listing, HasSubstr("\naddress=192.0.2.6 until=never reason=\"\"\n"));
}

// A ban acknowledged is not lost: not to a start (which writes nothing, however many bans expired), a reload of a
// missing file, nor another match writing the same file through a link; a hard link is refused, a folder that cannot
// be flushed is said.
TEST(Disk, acknowledged_bans_outlive_starts_reloads_and_other_matches_sharing_the_file)
{
    TempDir dir;
    FakeDisk fake;
    ServerHarness server{5};
    const std::string shared = dir.path + "/shared.txt", original = "10.0.0.0 never\n10.0.0.1 2001-01-01T00:00:00Z\n10.0.0.0 2030-01-01T00:00:00Z\n";
    std::ofstream(shared) << original;
    fs::create_symlink("shared.txt", dir.path + "/a.txt");
    fs::create_symlink(shared, dir.path + "/b.txt");
    std::string error;
    BanList a(ResolveBanFile(dir.path + "/a.txt", error).value()), b(ResolveBanFile(dir.path + "/b.txt", error).value());
    ASSERT_TRUE(a.load(error) && b.load(error));
    EXPECT_EQ(ReadText(shared), original);
    Admin first(a, [] { return int64_t{1800000000}; }, fake, "a.txt"), second(b, [] { return int64_t{1800000000}; }, fake, "b.txt");
    bool reload = false;
    first.reloadWhen([&] { return std::exchange(reload, false); }, {});
    auto command = [&](Admin& admin, const std::string& line) {
        std::istringstream in(line + "\n");
        admin.link().readStandardInput(in, -1);
        for (int pass = 0; pass < 2; ++pass, admin.settle())
            admin.runCommands(*server.level, server.clock.now(), server.out);
    };
    command(first, "ban 10.0.0.3");
    command(second, "ban 10.0.0.4");
    EXPECT_TRUE(second.refuses("10.0.0.3") && second.refuses("10.0.0.0") && !second.refuses("10.0.0.1"));
    EXPECT_EQ(ReadText(shared).substr(ReadText(shared).find('\n') + 1), "10.0.0.0 2030-01-01T00:00:00Z\n10.0.0.3 never\n10.0.0.4 never\n");
    command(second, "bans");
    EXPECT_THAT(server.consoleLines(), Contains("address=10.0.0.4 until=never reason=\"\""));
    fs::remove(shared);
    reload = true;
    command(first, "");
    EXPECT_THAT(server.consoleLines(), Contains("Bans not reloaded: " + shared + ": No such file or directory; the 2 bans in force stay."));
    fake.failFolderSync = true;
    command(first, "ban 10.0.0.5");
    EXPECT_THAT(server.consoleLines(), Contains(StartsWith("Error: the ban list was written to " + shared + " but its folder could not be flushed")));
    EXPECT_THAT(ReadText(shared), HasSubstr("10.0.0.0 2030-01-01T00:00:00Z\n10.0.0.3 never\n10.0.0.5 never\n"));
    fs::create_hard_link(shared, dir.path + "/hard.txt");
    EXPECT_FALSE(ResolveBanFile(dir.path + "/hard.txt", error));
    EXPECT_THAT(error, HasSubstr("has 2 hard links"));
}

// A block whose write failed and that cannot be cut off either: the console says both.
// The event log never waits for its disk: a stalled one makes it drop lines past its
// backlog, a full one loses what it could not write (its piece taken back), and the
// next line written says how many were lost in all.
TEST(Disk, the_event_log_loses_lines_to_a_stalled_or_full_disk_counted_and_never_holds_the_pass)
{
    TempDir dir;
    FakeDisk disk;
    std::string error;
    auto lines = JsonLines::Open(dir.path + "/events", error, disk);
    ASSERT_TRUE(lines) << error;
    disk.stall(true);
    lines->add("{}");
    disk.awaitHeldWrite();
    const std::string line(1023, 'x');
    for (size_t i = 0; i <= kEventLogMostWaitingBytes / 1024; ++i)
        lines->add(line);
    EXPECT_EQ(lines->lost(), 1u);
    disk.room = 300;
    disk.stall(false);
    lines->settle();
    disk.room = INT64_MAX;
    lines->add("{\"n\":2}");
    lines->settle();
    const uint64_t all = kEventLogMostWaitingBytes / 1024 + 1; // every line of the burst
    EXPECT_EQ(lines->lost(), all);
    EXPECT_EQ(ReadText(dir.path + "/events"), "{}\n{\"event\":\"lost\",\"count\":" + std::to_string(all) + "}\n{\"n\":2}\n");
}

TEST(Disk, a_failed_block_that_cannot_be_cut_off_is_said)
{
    TempDir dir;
    FakeDisk fake;
    fake.room = 30000;
    fake.failTruncate = true;
    ServerHarness server{5};
    Recorder recorder({.dir = dir.path}, DemoHeader{}, [] { return int64_t{1700000000000}; }, fake);
    server.loop.recorder = &recorder;
    int id = server.joinAlive(0, 0);
    uint32_t seed = 1;
    for (int pass = 0; pass < 100000 && recorder.failures() == 0; ++pass)
        pass % 60 ? Chatter(server, id, seed) : recorder.settle();
    server.pass();
    EXPECT_THAT(server.consoleLines(), Contains(::testing::AllOf(StartsWith("Recording stopped: cannot write"),
                                                                 HasSubstr("; its torn last block could not be cut off: Input/output error"))));
}

// A disk that never returns holds the exit no longer than it is given, and the console names what was not written.
TEST(Disk, a_stuck_disk_is_left_behind_at_the_exit_and_what_it_held_is_named)
{
    static FakeDisk stuck; // the thread left behind may still use it after the test
    ServerHarness server{5};
    stuck.stall(true);
    DiskWriter writer(stuck);
    writer.post([](DiskIo& io) { io.write(-1, "", 0); }, 0, "the ban list bans.txt");
    writer.post([](DiskIo&) {}, 0, "the recording demos/a.demo");
    stuck.awaitHeldWrite();
    EXPECT_FALSE(writer.stop(std::chrono::milliseconds(0)));
    EXPECT_THAT(server.consoleLines(), Contains("The disk did not finish within 0 s of the exit; not written: the ban "
                                                "list bans.txt; the recording demos/a.demo."));
    stuck.stall(false);
}

// SIGHUP after SIGHUP: a reload at a time, commands answered between them, and a line a second at most.
TEST(Disk, a_storm_of_reloads_lets_commands_through_and_writes_few_lines)
{
    TempDir dir;
    ServerHarness server{5};
    std::ofstream(dir.path + "/bans.txt") << BanLines(3);
    BanList bans(dir.path + "/bans.txt");
    Admin admin(bans, [] { return int64_t{1000}; });
    admin.reloadWhen([] { return true; }, {});
    server.loop.admin = &admin;
    for (int pass = 0; pass < 300; ++pass, admin.settle()) {
        std::istringstream in(pass % 100 == 50 ? "ban 10.0.0." + std::to_string(pass) + "\n" : "");
        admin.link().readStandardInput(in, -1);
        server.pass();
    }
    EXPECT_EQ(LinesStarting(server.consoleLines(), "banned address=10.0.0."), 3u);
    EXPECT_LE(LinesStarting(server.consoleLines(), "Bans reloaded from "), 2u);
}

} // namespace
} // namespace skirmish::testing
