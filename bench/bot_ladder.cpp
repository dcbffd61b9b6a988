// The bots' ladder, on the fake clock over the in-memory transport: whole minutes of
// play take seconds and every figure comes again from the same seeds.
//
//   bot-ladder ladder SKILL_A SKILL_B  three bots of each skill in one match: shots and kills per skill
//   bot-ladder newcomer SKILL          a player who never moves nor fires among three bots:
//                                      how long each of its lives lasts
//
// Options after those: --minutes N (of play per seed, default 10), --seeds N (default 5),
// --map W H ROOMS WEAPONS (default 32 32 8 20). Prints one line of JSON.
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/bots.h"
#include "game/rooms.h"
#include "tests/harness.h"

namespace skirmish {
namespace {

struct Map {
    int width = 32, height = 32, rooms = 8, weapons = 20;
};

// A server on a generated level with a real generator, as the server starts one.
struct Match {
    Match(uint32_t seed, const Map& map) : server(8)
    {
        random.seed(seed);
        SetRandomGenerator(&random);
        server.level = std::make_unique<Level>(map.rooms, map.width, map.height, map.weapons, 8);
        server.level->seed = static_cast<int32_t>(seed);
        GenerateRooms(*server.level, server.clock.now());
        watcher = server.net->connect("10.0.0.9", Role::Spectator);
    }
    ~Match() { SetRandomGenerator(nullptr); }

    // A pass every 10 ms; the extra bots take their turns as the loop's own do.
    template <typename Hear>
    void run(int32_t ms, std::vector<Bots*> extra, Hear&& hear)
    {
        for (int32_t t = 0; t < ms; t += 10) {
            server.clock.advance(10);
            server.pass();
            for (Bots* bots : extra)
                bots->run(server.clock.now(), server.loop.tickReference);
            if (t % 100 == 0) {
                for (const std::string& line : server.received(watcher))
                    hear(line);
                server.net->clearReceived();
            }
        }
    }

    testing::ServerHarness server;
    LinearRandom random;
    int watcher = 0;
};

std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

const BotSkill& Skill(const char* name)
{
    const BotSkill* skill = FindBotSkill(name);
    if (!skill) {
        std::fprintf(stderr, "bot-ladder: no skill %s (easy, normal or hard)\n", name);
        std::exit(2);
    }
    return *skill;
}

// Shots are told with the shooter's whole-number position: the live bot standing
// there fired it.
void Ladder(const BotSkill& a, const BotSkill& b, int minutes, int seeds, const Map& map)
{
    std::map<std::string_view, int> shots, kills, deaths;
    for (int s = 0; s < seeds; ++s) {
        Match match(0x1adde7u + static_cast<uint32_t>(s), map);
        Bots first(3, 11u + static_cast<uint32_t>(s), a), second(3, 23u + static_cast<uint32_t>(s), b);
        match.server.loop.bots = &first;
        std::map<int, std::pair<float, float>> at;
        auto skillOf = [&](int id) -> std::string_view {
            const BotSkill* skill = first.skillOf(id);
            skill = skill ? skill : second.skillOf(id);
            return skill ? skill->name : "";
        };
        match.run(minutes * 60000, {&second}, [&](const std::string& line) {
            auto w = Words(line);
            if (w.empty())
                return;
            if (w[0] == "Moved" && w.size() >= 4)
                at[std::stoi(w[1])] = {std::stof(w[2]), std::stof(w[3])};
            else if (w[0] == "NewProjectile" && w.size() >= 4) {
                for (const auto& [id, place] : at)
                    if (std::abs(place.first - std::stof(w[2])) < 1 && std::abs(place.second - std::stof(w[3])) < 1) {
                        ++shots[skillOf(id)];
                        break;
                    }
            } else if (w[0] == "Dead" && w.size() >= 3) {
                ++deaths[skillOf(std::stoi(w[1]))];
                if (w[1] != w[2])
                    ++kills[skillOf(std::stoi(w[2]))];
            }
        });
    }
    std::printf("{\"minutes\": %d, \"seeds\": %d", minutes, seeds);
    for (const BotSkill* skill : {&a, &b})
        std::printf(", \"%s\": {\"shots\": %d, \"kills\": %d, \"deaths\": %d}", std::string(skill->name).c_str(),
                    shots[skill->name], kills[skill->name], deaths[skill->name]);
    std::printf("}\n");
}

// Lives from "Alive" to "Dead"; a life the run's end cuts short counts as long as it went.
void Newcomer(const BotSkill& skill, int minutes, int seeds, const Map& map)
{
    std::vector<int32_t> lives;
    int cut = 0;
    for (int s = 0; s < seeds; ++s) {
        Match match(0x2e3c0u + static_cast<uint32_t>(s), map);
        Bots bots(4, 31u + static_cast<uint32_t>(s), skill); // three besides the newcomer
        match.server.loop.bots = &bots;
        const int person = match.server.net->connect("10.0.0.1");
        match.server.send(person, command::Name("Newcomer"));
        int32_t since = 0;
        bool living = false;
        const std::string alive = "Alive " + std::to_string(person);
        const std::string dead = "Dead " + std::to_string(person) + " ";
        match.run(minutes * 60000, {}, [&](const std::string& line) {
            // Lines are read every 100 ms: a life is timed to that.
            if (line == alive) {
                since = match.server.clock.now();
                living = true;
            } else if (line.rfind(dead, 0) == 0 && living) {
                lives.push_back(match.server.clock.now() - since);
                living = false;
            }
        });
        if (living) {
            lives.push_back(match.server.clock.now() - since);
            ++cut;
        }
    }
    double total = 0;
    for (int32_t life : lives)
        total += life;
    std::printf("{\"skill\": \"%s\", \"lives\": %zu, \"cut_short\": %d, \"mean_s\": %.1f}\n",
                std::string(skill.name).c_str(), lives.size(), cut, lives.empty() ? 0.0 : total / lives.size() / 1000);
}

} // namespace
} // namespace skirmish

int main(int argc, char** argv)
{
    using namespace skirmish;
    std::vector<std::string> args(argv + 1, argv + argc);
    int minutes = 10, seeds = 5;
    Map map;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--minutes" && i + 1 < args.size())
            minutes = std::atoi(args[++i].c_str());
        else if (args[i] == "--seeds" && i + 1 < args.size())
            seeds = std::atoi(args[++i].c_str());
        else if (args[i] == "--map" && i + 4 < args.size()) {
            map = {std::atoi(args[i + 1].c_str()), std::atoi(args[i + 2].c_str()), std::atoi(args[i + 3].c_str()),
                   std::atoi(args[i + 4].c_str())};
            i += 4;
        }
    }
    std::ostringstream console; // the server's console lines are no part of the figures
    ScopedConsole quiet(console);
    if (args.size() >= 3 && args[0] == "ladder")
        Ladder(Skill(argv[2]), Skill(argv[3]), minutes, seeds, map);
    else if (args.size() >= 2 && args[0] == "newcomer")
        Newcomer(Skill(argv[2]), minutes, seeds, map);
    else {
        std::fprintf(stderr, "usage: bot-ladder ladder SKILL SKILL | newcomer SKILL [--minutes N] [--seeds N] "
                             "[--map W H ROOMS WEAPONS]\n");
        return 2;
    }
    return 0;
}
