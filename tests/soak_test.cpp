// Churn against the real binary: clients connect, name themselves, move, fire and
// leave in random order for a minute (SKIRMISH_SOAK_SECONDS). In the sanitizer
// build any report ends the server with a non-zero status and fails this test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "real_binary.h"

namespace skirmish::testing {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Soak, churning_clients_never_crash_leak_or_reuse_an_id_before_its_leave)
{
    const char* configured = std::getenv("SKIRMISH_SOAK_SECONDS");
    const int seconds = configured ? std::atoi(configured) : 60;
    RealServer game({"--players", "127", "--width", "32", "--height", "32", "--rooms", "6", "--weapons", "12",
                     "--max-per-address", "0"},
                    {"ASAN_OPTIONS=halt_on_error=1:quarantine_size_mb=4"});
    ASSERT_TRUE(game.started) << game.process.output();
    ServerProcess& server = game.process;

    std::mt19937 random(2026);
    std::vector<std::unique_ptr<NetClient>> live;
    int connections = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        int action = std::uniform_int_distribution<int>(0, 99)(random);
        if (action < 8 && live.size() < 110) {
            auto client = std::make_unique<NetClient>();
            if (client->connect("127.0.0.1", game.port, 2000)) {
                client->send(command::Name("churn-" + std::to_string(++connections)));
                live.push_back(std::move(client));
            }
        } else if (action < 14 && !live.empty()) {
            size_t victim = std::uniform_int_distribution<size_t>(0, live.size() - 1)(random);
            if (action < 11)
                live[victim]->disconnect(0); // gone without waiting
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(victim));
        } else if (!live.empty()) {
            NetClient& client = *live[std::uniform_int_distribution<size_t>(0, live.size() - 1)(random)];
            client.send(action < 60 ? command::Fire() : command::Move(3, -2));
        }
        for (auto& client : live)
            for (client->service(0); client->nextMessage();) {
            }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    for (auto& client : live)
        client->disconnect(200);
    live.clear();

    // Every join gets its leave line (silent drop-outs time out within about 10 s).
    std::regex join("Player ID ([0-9]+) has joined"), leave("Player ID ([0-9]+) has left");
    auto count = [&](const std::regex& pattern) {
        const std::string& out = server.output();
        return std::distance(std::sregex_iterator(out.begin(), out.end(), pattern), std::sregex_iterator());
    };
    Within(15000, [&] { return count(leave) >= count(join) || (server.waitForOutput("\x01", 200), false); });
    EXPECT_GE(count(join), 100) << "joins";
    // Walked in order: no id handed out again before its leave, and every join left.
    std::map<int, bool> seated;
    std::istringstream lines(server.output());
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, match, join)) {
            int id = std::stoi(match[1]);
            EXPECT_FALSE(seated[id]) << "id " << id << " handed out again before its leave";
            seated[id] = true;
        } else if (std::regex_search(line, match, leave)) {
            seated[std::stoi(match[1])] = false;
        }
    }
    for (auto [id, stillSeated] : seated)
        EXPECT_FALSE(stillSeated) << "id " << id << " joined and never left";

    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(10000), 0) << server.output().substr(std::max<size_t>(server.output().size(), 3000) - 3000);
}

} // namespace
} // namespace skirmish::testing
