// The web front against real sockets on loopback: what HTTP answers, and the
// limits that end a browser's connection as a leave.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "app/admin.h"
#include "app/event_log.h"
#include "app/main_loop.h"
#include "app/web_pages.h"
#include "core/console.h"
#include "loopback.h"
#include "net/client/client.h"
#include "net/server/web_front.h"
#include "net/shared/limits.h"
#include "protocol/messages.h"
#include "temp_dir.h"

namespace skirmish {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct WebFrontTest : testing::LoopbackHost {
    std::ostringstream console;
    ScopedConsole capture{console};
    Level level{1, 8, 8, 1, 3};
    LoopState loop{0};
    ServerOptions options; // a member, not a default argument's temporary, which GCC 12 at -O3 misreads

    void SetUp() override
    {
        LoopbackHost::SetUp();
        NetSetWebPages(ServerWebPages(level, loop, options));
        // Port 0 draws a free UDP port, whose TCP twin another process may hold: then draw again.
        for (int draw = 0; draw < 50 && NetHost(3) && !console.str().empty(); ++draw)
            NetShutdown(), console.str("");
        ASSERT_TRUE(NetConnected()); // ids 1 and 2
        ASSERT_EQ(console.str(), "");
    }
};

// A socket to the server from a loopback address of its own, so that one test plays several addresses.
tcp::socket ConnectFrom(asio::io_context& io, const char* address = "127.0.0.1")
{
    tcp::socket socket(io, {asio::ip::make_address(address), 0});
    socket.connect({asio::ip::address_v4::loopback(), NetBoundPort()});
    return socket;
}

// What a read of one byte meets: eof or a reset once the server closed the socket unread.
beast::error_code ReadByte(tcp::socket& socket)
{
    char byte;
    beast::error_code ec;
    socket.read_some(asio::buffer(&byte, 1), ec);
    return ec;
}

bool ClosedUnread(tcp::socket& socket)
{
    const beast::error_code ec = ReadByte(socket);
    return ec == asio::error::eof || ec == asio::error::connection_reset;
}

// The answer to a request ("GET /"), read to its end, whole or its status line.
std::string Reply(const std::string& request, bool whole = false)
{
    asio::io_context io;
    tcp::socket socket = ConnectFrom(io);
    asio::write(socket, asio::buffer(request + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    std::string reply;
    beast::error_code ec;
    asio::read(socket, asio::dynamic_buffer(reply), ec);
    return whole ? reply : reply.substr(0, reply.find("\r\n"));
}

// HEAD is GET without the body: same status, same header, the same length announced.
TEST_F(WebFrontTest, http_answers_get_and_head_of_the_page_and_nothing_else_and_the_page_runs_only_its_own_scripts)
{
    const std::pair<std::string, const char*> cases[] = {
        {"GET /?name=Alice", "200 OK"}, {"GET /app.js", "200 OK"}, {"GET /healthz", "200 OK"},
        {"GET /nothing", "404 Not Found"}, {"GET /../CMakeLists.txt", "404 Not Found"}, {"GET /ws", "404 Not Found"},
        {"GET /%2e%2e/%2e%2e/etc/passwd", "404 Not Found"}, {"GET //etc/passwd", "404 Not Found"},
        {"POST /", "405 Method Not Allowed"}, {"DELETE /healthz", "405 Method Not Allowed"},
        // Too long or not HTTP: told why, not reset.
        {"GET /" + std::string(9000, 'a'), "431 Request Header Fields Too Large"}, {"GET / x", "400 Bad Request"}};
    for (const auto& [request, status] : cases)
        EXPECT_EQ(WhileServing([&] { return Reply(request); }), std::string("HTTP/1.1 ") + status) << request;
    const std::string get = WhileServing([] { return Reply("GET /", true); });
    EXPECT_EQ(WhileServing([] { return Reply("HEAD /", true); }), get.substr(0, get.find("\r\n\r\n") + 4));
    EXPECT_THAT(get, ::testing::HasSubstr(std::string("\r\nContent-Security-Policy: ") + kPageSecurityPolicy + "\r\n"));
}

// Every metric the packaged dashboard charts is one /metrics serves (every family
// on); server lists read /status.json from any page and may keep it a second.
TEST_F(WebFrontTest, every_metric_the_dashboard_charts_is_served_and_the_status_is_public_for_a_second)
{
    testing::TempDir dir;
    BanList bans(dir.path + "/bans");
    Admin admin(bans, [] { return int64_t{0}; });
    Recorder recorder(RecordingOptions{true, dir.path}, DemoHeader{}, [] { return int64_t{0}; });
    std::string error;
    EventLog events(JsonLines::Open("/dev/null", error), [] { return int64_t{0}; });
    std::tie(loop.admin, loop.recorder, loop.events) = std::tuple(&admin, &recorder, &events);
    const std::string metrics = WhileServing([] { return Reply("GET /metrics", true); });
    std::ifstream file(SKIRMISH_SOURCE_DIR "/deploy/grafana-dashboard.json");
    const std::string dashboard{std::istreambuf_iterator<char>(file), {}};
    const std::regex name("skirmish_[a-z_]+?(?=_bucket\\b|\\b)");
    int charted = 0;
    for (std::sregex_iterator it(dashboard.begin(), dashboard.end(), name), end; it != end; ++it, ++charted)
        EXPECT_THAT(metrics, ::testing::HasSubstr("# TYPE " + it->str() + " ")) << it->str();
    EXPECT_GT(charted, 20);
    const std::string status = WhileServing([] { return Reply("GET /status.json", true); });
    EXPECT_THAT(status, ::testing::HasSubstr("\r\nCache-Control: public, max-age=1\r\n"));
    EXPECT_THAT(status, ::testing::HasSubstr("\r\nAccess-Control-Allow-Origin: *\r\n"));
    EXPECT_THAT(status, ::testing::HasSubstr(R"(,"players":0,"seats":2,"bots":0,"spectators":0,)"
                                             R"("map":{"width":8,"height":8},"rooms":1,"wire_versions":[1,2],)"));
}

// A WebSocket client that sends one frame as told and reports the close code it got.
int CloseCodeAfterSending(bool text, size_t bytes)
{
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().connect({asio::ip::address_v4::loopback(), NetBoundPort()});
    ws.handshake("localhost", "/ws");
    ws.text(text);
    ws.write(asio::buffer(std::string(bytes, 'x')));
    beast::flat_buffer buffer;
    beast::error_code ec;
    while (!ec)
        ws.read(buffer, ec);
    return static_cast<int>(ws.reason().code);
}

TEST_F(WebFrontTest, oversized_and_text_frames_close_the_connection_as_a_leave)
{
    struct Case { bool text; size_t bytes; int closeCode; };
    for (const Case& c : {Case{false, kMaxWebFrameBytes + 1, static_cast<int>(websocket::close_code::too_big)},
                          Case{true, 4, static_cast<int>(websocket::close_code::unknown_data)}}) {
        EXPECT_EQ(WhileServing([&] { return CloseCodeAfterSending(c.text, c.bytes); }), c.closeCode);
        EXPECT_THAT(TakeJoins(1), ::testing::ElementsAre(1));
        EXPECT_EQ(TakeLeave(), 1);
    }
    const NetStats stats = NetGetStats(); // what the dashboards see: one oversized, nobody silent
    EXPECT_EQ(std::pair(stats.droppedOversized, stats.droppedSilent), std::pair(uint64_t{1}, uint64_t{0}));
}

// A client asking for a wire version this server does not know is told so, never seated.
TEST_F(WebFrontTest, one_pool_of_ids_for_both_transports_an_unknown_wire_version_refused_on_both_and_the_next_told_full)
{
    NetClient unknownEnet, unknownWeb;
    unknownEnet.useVersion(static_cast<WireVersion>(4));
    unknownWeb.useVersion(static_cast<WireVersion>(4));
    WhileServing([&] { return unknownEnet.connect("127.0.0.1", NetBoundPort(), 2000), Lost(unknownEnet); });
    EXPECT_EQ(unknownEnet.farewellCode(), kDisconnectUnknownVersion);
    EXPECT_FALSE(WhileServing([&] { return unknownWeb.connectWebSocket("127.0.0.1", NetBoundPort(), 2000); }));
    EXPECT_EQ(NetPlayerJoined(), 0);
    const std::pair<const char*, std::optional<WireVersion>> queries[] = {
        {"", WireVersion::V1}, {"v=1", WireVersion::V1}, {"name=x&v=2", WireVersion::V2}, {"v=3", WireVersion::V3}, {"v=2&v=0", std::nullopt},
        {"v=", std::nullopt}, {"vv=2", WireVersion::V1}};
    for (const auto& [query, version] : queries)
        EXPECT_EQ(VersionFromQuery(query), version) << query;
    for (auto [data, known] : {std::pair(0x201u, true), {0x301u, true}, {0x401u, false}, {0xFF01u, false}, {0x10000u, false}, {0x80000000u, false}})
        EXPECT_EQ(ParseConnectData(data).has_value(), known) << data;

    NetClient enet, web, late;
    web.useVersion(WireVersion::V2); // heard and told as any player, in its own layout
    ASSERT_TRUE(WhileServing([&] { return web.connectWebSocket("127.0.0.1", NetBoundPort(), 2000); }));
    ASSERT_TRUE(WhileServing([&] { return enet.connect("127.0.0.1", NetBoundPort(), 2000); }));
    EXPECT_THAT(TakeJoins(2), ::testing::ElementsAre(1, 2));
    EXPECT_EQ(NetGetPlayerIP(1), "127.0.0.1");
    WhileServing([&] { return web.send(command::Fire()), web.service(20), 0; });
    NetMessage fire;
    ASSERT_TRUE(ServeUntil([&] { return NetGetMessage(fire); }));
    EXPECT_EQ(fire.from, 1); // a browser that came first is heard like any player

    WhileServing([&] { return late.connectWebSocket("127.0.0.1", NetBoundPort(), 2000), Lost(late); });
    EXPECT_TRUE(late.refusedAsFull());

    NetSendAll(message::ServerQuit());
    NetShutdown();
    ASSERT_TRUE(web.waitForMessage(2000));
    EXPECT_EQ(web.current().name(), "ServerQuit");
    EXPECT_TRUE(Lost(web, 2000));
}

TEST_F(WebFrontTest, a_browser_that_stops_reading_is_dropped_as_a_leave)
{
    asio::io_context io;
    websocket::stream<tcp::socket> stalled(io);
    stalled.next_layer().open(tcp::v4());
    stalled.next_layer().set_option(asio::socket_base::receive_buffer_size(4096));
    WhileServing([&] {
        stalled.next_layer().connect({asio::ip::address_v4::loopback(), NetBoundPort()});
        stalled.handshake("localhost", "/ws");
        return 0;
    });
    const int id = TakeJoins(1).at(0);
    MessageWriter padding;
    padding.putString(std::string(60000, 'p'));
    int left = 0;
    testing::Within(15000, [&] { return NetSendAll(padding), NetService(0), (left = NetPlayerLeft()) != 0; });
    EXPECT_EQ(left, id);
}

// One address that holds silent connections keeps out only its own further ones;
// kept-alive connections give way to a new one of their address.
TEST_F(WebFrontTest, one_address_holding_connections_shuts_out_only_itself_and_idle_ones_give_way)
{
    asio::io_context io;
    std::vector<tcp::socket> silent;
    WhileServing([&] {
        for (int i = 0; i < 2 * kMaxWebConnectionsPerAddress; ++i)
            silent.push_back(ConnectFrom(io, "127.0.0.2"));
        return 0;
    });
    for (const char* request : {"GET /", "GET /healthz"})
        EXPECT_EQ(WhileServing([&] { return Reply(request); }), "HTTP/1.1 200 OK");
    NetClient browser;
    EXPECT_TRUE(WhileServing([&] { return browser.connectWebSocket("127.0.0.1", NetBoundPort(), 2000); }));
    // The later half was refused at once, while the first half is still held: had the
    // later ones been held too, the earlier ones would have been cut first.
    for (size_t i = kMaxWebConnectionsPerAddress; i < silent.size(); ++i)
        EXPECT_TRUE(WhileServing([&] { return ClosedUnread(silent[i]); }));
    EXPECT_EQ(NetGetStats().refusedWebBusy, static_cast<uint64_t>(kMaxWebConnectionsPerAddress));
    for (size_t i = 0; i < kMaxWebConnectionsPerAddress; ++i) {
        silent[i].non_blocking(true);
        EXPECT_EQ(ReadByte(silent[i]), asio::error::would_block) << i;
    }

    std::vector<tcp::socket> keptAlive;
    const std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n";
    auto get = [&](tcp::socket& socket, size_t from = 0) {
        asio::write(socket, asio::buffer(request.substr(from)));
        std::string reply;
        beast::error_code ec;
        asio::read_until(socket, asio::dynamic_buffer(reply), "ok\n", ec);
        return reply.rfind("HTTP/1.1 200 OK", 0) == 0;
    };
    for (int i = 0; i < kMaxWebConnectionsPerAddress; ++i)
        EXPECT_TRUE(WhileServing([&] { return keptAlive.push_back(ConnectFrom(io, "127.0.0.3")), get(keptAlive.back()); }));
    // The oldest one's next request is in flight: the next oldest is the idle one that gives way.
    WhileServing([&] { return asio::write(keptAlive.front(), asio::buffer(request.substr(0, 5))); });
    ServeUntil([] { return false; }, 20);
    EXPECT_TRUE(WhileServing([&] { return keptAlive.push_back(ConnectFrom(io, "127.0.0.3")), get(keptAlive.back()); }));
    EXPECT_TRUE(WhileServing([&] { return ClosedUnread(keptAlive[1]); }));
    EXPECT_TRUE(WhileServing([&] { return get(keptAlive.front(), 5); }));
}

// Many addresses of a few networks cannot shut out another: with every slot held, the
// network holding the most gives way to one holding fewer, and a newcomer of a network
// that already holds the most is refused.
TEST_F(WebFrontTest, with_every_slot_held_the_subnet_holding_most_gives_way_to_another)
{
    asio::io_context io;
    std::vector<tcp::socket> held;
    WhileServing([&] {
        for (int subnet = 1; subnet <= 8; ++subnet)
            for (int host = 1; host <= 8; ++host)
                for (int i = 0; i < kMaxWebConnections / 64; ++i)
                    held.push_back(ConnectFrom(io, ("127.0." + std::to_string(subnet) + "." + std::to_string(host)).c_str()));
        return 0;
    });
    tcp::socket crowded = WhileServing([&] { return ConnectFrom(io, "127.0.8.9"); });
    EXPECT_TRUE(WhileServing([&] { return ClosedUnread(crowded); }));
    EXPECT_EQ(WhileServing([&] { return Reply("GET /"); }), "HTTP/1.1 200 OK"); // from 127.0.0.1
    EXPECT_EQ(NetGetStats().refusedWebBusy, 1u);
}

TEST_F(WebFrontTest, request_headers_that_never_complete_are_cut_after_three_seconds)
{
    auto closedAfter = WhileServing([&] {
        asio::io_context io;
        tcp::socket socket = ConnectFrom(io);
        asio::write(socket, asio::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n")));
        auto start = Clock::now();
        ReadByte(socket);
        return Clock::now() - start;
    });
    EXPECT_GE(closedAfter, std::chrono::seconds(kWebHeaderTimeoutSeconds - 1));
    EXPECT_LE(closedAfter, std::chrono::seconds(kWebHeaderTimeoutSeconds + 3));
}

size_t OpenDescriptors() { return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

// A taken UDP port fails the host with a readable error; a taken TCP port is said on the
// console and the game goes on over UDP; a closed host lets go of its ports and descriptors.
TEST_F(WebFrontTest, a_taken_udp_port_fails_the_host_a_taken_tcp_port_only_the_web_front_and_hosts_leak_nothing)
{
    NetShutdown();
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(NetHost(3));
        NetShutdown();
    }
    EXPECT_EQ(OpenDescriptors(), before);

    asio::io_context io;
    asio::ip::udp::socket busy(io, {asio::ip::udp::v4(), 0});
    tcp::acceptor taken(io, {asio::ip::address_v4::any(), 0});
    const uint16_t port = busy.local_endpoint().port(), tcpPort = taken.local_endpoint().port();
    NetSetPort(port);
    EXPECT_FALSE(NetHost(3));
    EXPECT_EQ(NetGetError(), "Cannot host on UDP port " + std::to_string(port) + ": Address already in use");
    busy.close();
    EXPECT_TRUE(NetHost(3));
    NetShutdown();
    EXPECT_TRUE(NetHost(3));
    NetShutdown();
    console.str("");
    NetSetPort(tcpPort);
    EXPECT_TRUE(NetHost(3));
    EXPECT_EQ(console.str(), "Web front not started: TCP port " + std::to_string(tcpPort) + ": Address already in use\n");
}

// An idle server must sleep, not spin, and a stop request (a signal) must end that sleep.
TEST_F(WebFrontTest, an_idle_host_sleeps_until_a_stop_wakes_it)
{
    std::atomic<bool> stopping{false};
    std::thread signal([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stopping = true;
        NetRequestStop();
    });
    NetService(kWaitForTraffic);
    EXPECT_TRUE(stopping);
    signal.join();
    EXPECT_FALSE(NetConnected());
}

} // namespace
} // namespace skirmish
