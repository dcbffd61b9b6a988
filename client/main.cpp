// skirmish-client: a desktop client to play and watch a Skirmish server.
#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>
#include <SDL2/SDL_ttf.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <iostream>
#include <string>
#include <thread>

#include "client/game_state.h"
#include "client/motion.h"
#include "client/renderer.h"
#include "client/view.h"
#include "core/flags.h"
#include "net/client/client.h"
#include "protocol/messages.h"

namespace skirmish::client {
namespace {

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 23987;
    std::string name = "player";
    bool headless = false;
    std::string screenshot;
    double seconds = 0; // 0: until the window is closed
    bool wholeMap = false;
    bool watch = false; // a spectator: no name, no commands
    WireVersion version = WireVersion::V3;
    int width = 1024;
    int height = 768;
};

const char* const kUsage = R"(Usage: skirmish-client [options] [NAME]

Plays on a Skirmish server as NAME (default "player"), or watches it.

  --host H            server address (default 127.0.0.1)
  --port P            server port (default 23987)
  --whole-map         show the whole map instead of following your player
  --watch             watch as a spectator: no name, nothing sent; starts on
                      the whole map, Tab switches to a camera W A S D move
  --size WxH          window size, 64 to 8192 each (default 1024x768)
  --headless          draw offscreen, no display needed
  --screenshot FILE   write the last frame to FILE (.png, else BMP)
  --seconds N         quit after N seconds
  --v2                speak wire version 2 (every update reliable, in order) instead of version 3
  --v1                speak the tagged wire layout, version 1
  --help              this text

Keys: W A S D move, the mouse aims, the left button fires, Enter opens and sends
chat (Esc cancels), R respawns at once, Tab switches between following your
player and the whole map, P shows the ping and the frame rate.
)";

bool ParseOptions(int argc, char** argv, Options& options)
{
    bool help = false;
    const Flag flags[] = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--headless", false, [&](std::string_view) { return options.headless = true; }},
        {"--whole-map", false, [&](std::string_view) { return options.wholeMap = true; }},
        {"--watch", false, [&](std::string_view) { return options.watch = options.wholeMap = true; }},
        {"--v1", false, [&](std::string_view) { return (options.version = WireVersion::V1) == WireVersion::V1; }},
        {"--v2", false, [&](std::string_view) { return (options.version = WireVersion::V2) == WireVersion::V2; }},
        {"--host", true, [&](std::string_view v) { return !(options.host = v).empty(); }},
        {"--port", true,
         [&](std::string_view v) {
             auto n = ParseWhole(v, 1, 65535);
             return n && (options.port = static_cast<uint16_t>(*n));
         }},
        {"--screenshot", true, [&](std::string_view v) { return !(options.screenshot = v).empty(); }},
        {"--seconds", true,
         [&](std::string_view v) {
             auto n = ParseReal(v);
             return n && (options.seconds = *n) >= 0;
         }},
        {"--size", true,
         [&](std::string_view v) {
             size_t x = v.find('x');
             auto w = ParseWhole(v.substr(0, x), 64, 8192);
             auto h = x == std::string_view::npos ? std::nullopt : ParseWhole(v.substr(x + 1), 64, 8192);
             if (!w || !h)
                 return false;
             options.width = static_cast<int>(*w);
             options.height = static_cast<int>(*h);
             return true;
         }},
    };
    std::string error = ParseFlags(argc, argv, flags, [&](std::string_view name) {
        options.name = name;
        return true;
    });
    if (help) {
        std::cout << kUsage;
        std::exit(0);
    }
    if (!error.empty()) {
        std::cerr << "skirmish-client: " << error << "\n\n" << kUsage;
        return false;
    }
    if (options.headless && options.seconds <= 0) {
        std::cerr << "skirmish-client: --headless needs --seconds\n";
        return false;
    }
    return true;
}

// What the player's hands ask for, turned into commands.
struct Controls {
    bool chatting = false;
    std::string chatLine;
    bool wholeMap = false;
    bool watching = false; // keys that would send a command do nothing
    float panX = 0;        // a spectator's free camera, map units from the map's centre
    float panY = 0;
    std::chrono::steady_clock::time_point nextMove{};
    float lastAim = 0;
    std::optional<float> aim; // as last sent, drawn at once
    bool showStats = false; // ping and frame rate, toggled with P
};

// Milliseconds on the clock that prediction and smoothing run on.
double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr float kStep = 6.0f; // map units per "Move", up to 30 a second
constexpr float kPanStep = 10.0f; // map units per frame of a spectator's camera

void HandleEvent(const SDL_Event& event, Controls& controls, NetClient& net, const GameState& state,
                 Prediction& prediction, bool& running)
{
    switch (event.type) {
    case SDL_QUIT:
        running = false;
        break;
    case SDL_TEXTINPUT:
        if (controls.chatting && controls.chatLine.size() < 200)
            controls.chatLine += event.text.text;
        break;
    case SDL_KEYDOWN: {
        SDL_Keycode key = event.key.keysym.sym;
        if (controls.watching) {
            if (key == SDLK_TAB)
                controls.wholeMap = !controls.wholeMap;
        } else if (controls.chatting) {
            if (key == SDLK_RETURN || key == SDLK_KP_ENTER) {
                if (!controls.chatLine.empty())
                    net.send(command::PlayerMessage(controls.chatLine));
                controls.chatting = false;
                controls.chatLine.clear();
                SDL_StopTextInput();
            } else if (key == SDLK_ESCAPE) {
                controls.chatting = false;
                controls.chatLine.clear();
                SDL_StopTextInput();
            } else if (key == SDLK_BACKSPACE && !controls.chatLine.empty()) {
                controls.chatLine.pop_back();
            }
        } else if (key == SDLK_RETURN || key == SDLK_KP_ENTER) {
            controls.chatting = true;
            SDL_StartTextInput();
        } else if (key == SDLK_r) {
            net.send(command::Respawn(0, 0));
            std::optional<Point> spot; // room-table entry 1, its tiles taken as map units
            if (state.rooms.size() > 1)
                spot = Point{static_cast<float>(state.rooms[1].x), static_cast<float>(state.rooms[1].y)};
            if (state.myId != 0)
                prediction.sentRespawn(0, 0, spot, NowMs());
        } else if (key == SDLK_TAB) {
            controls.wholeMap = !controls.wholeMap;
        } else if (key == SDLK_p) {
            controls.showStats = !controls.showStats;
        } else if (event.key.repeat == 0 && (key == SDLK_w || key == SDLK_a || key == SDLK_s || key == SDLK_d)) {
            controls.nextMove = {}; // the first "Move" of a key press goes out at once
        }
        break;
    }
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT && !controls.watching)
            net.send(command::Fire());
        break;
    default:
        break;
    }
}

// Held keys move; the mouse aims. Both are sent at most 30 times a second, and only once
// our id is known, so that every answer can be told as our own.
void SendHeldInput(Controls& controls, NetClient& net, const GameState& shown, const View& view,
                   Prediction& prediction)
{
    auto now = std::chrono::steady_clock::now();
    if (controls.chatting || now < controls.nextMove || shown.link != Link::Playing || shown.myId == 0)
        return;
    controls.nextMove = now + std::chrono::milliseconds(33);
    const Uint8* keys = SDL_GetKeyboardState(nullptr);
    float dx = static_cast<float>(keys[SDL_SCANCODE_D] - keys[SDL_SCANCODE_A]) * kStep;
    float dy = static_cast<float>(keys[SDL_SCANCODE_S] - keys[SDL_SCANCODE_W]) * kStep;
    if (dx != 0 || dy != 0) {
        net.send(command::Move(dx, dy));
        prediction.sentMove(dx, dy, NowMs());
    }
    auto me = shown.players.find(shown.myId);
    if (me == shown.players.end())
        return;
    int mouseX = 0, mouseY = 0;
    SDL_GetMouseState(&mouseX, &mouseY);
    float aim = AimAngle(mouseX / view.scale + view.originX - me->second.x, mouseY / view.scale + view.originY - me->second.y);
    if (std::fabs(aim - controls.lastAim) > 0.5f) {
        controls.lastAim = aim;
        controls.aim = aim;
        net.send(command::Rotate(aim));
    }
}

// A spectator's held keys move its camera, a step a frame.
void PanCamera(Controls& controls)
{
    const Uint8* keys = SDL_GetKeyboardState(nullptr);
    controls.panX += static_cast<float>(keys[SDL_SCANCODE_D] - keys[SDL_SCANCODE_A]) * kPanStep;
    controls.panY += static_cast<float>(keys[SDL_SCANCODE_S] - keys[SDL_SCANCODE_W]) * kPanStep;
}

void ReadServer(NetClient& net, GameState& state, Prediction& prediction, Smoothing& smoothing)
{
    net.service(0);
    while (net.nextMessage()) {
        const double now = NowMs();
        ApplyMessage(state, net.current());
        prediction.heard(net.current(), state.myId, now);
        smoothing.heard(net.current(), now);
        // Our snapshot came before our id did: where it put us is where prediction starts.
        auto me = state.players.find(state.myId);
        if (state.myId != 0 && me != state.players.end())
            prediction.seed({me->second.x, me->second.y}, now);
    }
    if (net.lostConnection() && state.link != Link::ServerQuit) {
        const uint32_t farewell = net.farewellCode();
        state.link = net.refusedAsFull()                                                   ? Link::Full
                     : farewell == kDisconnectKicked || farewell == kWebSocketKicked ? Link::Kicked
                     : farewell == kDisconnectBanned || farewell == kWebSocketBanned ? Link::Banned
                                                                                      : Link::Lost;
    }
}

bool SaveScreenshot(SDL_Renderer* renderer, int width, int height, const std::string& file)
{
    SDL_Surface* shot = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_ARGB8888);
    if (!shot)
        return false;
    bool ok = SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, shot->pixels, shot->pitch) == 0;
    bool png = file.size() > 4 && file.compare(file.size() - 4, 4, ".png") == 0;
    ok = ok && (png ? IMG_SavePNG(shot, file.c_str()) : SDL_SaveBMP(shot, file.c_str())) == 0;
    SDL_FreeSurface(shot);
    return ok;
}

TTF_Font* OpenFont()
{
    for (const char* path : {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                             "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf"})
        if (TTF_Font* font = TTF_OpenFont(path, 16))
            return font;
    return nullptr;
}

int Run(const Options& options)
{
    if (options.headless)
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "offscreen");
    if (SDL_Init(options.headless ? 0 : SDL_INIT_VIDEO) != 0 || TTF_Init() != 0) {
        std::cerr << "skirmish-client: cannot start SDL: " << SDL_GetError() << "\n";
        return 1;
    }
    SDL_Window* window = nullptr;
    SDL_Surface* canvas = nullptr;
    SDL_Renderer* renderer = nullptr;
    if (options.headless) {
        canvas = SDL_CreateRGBSurfaceWithFormat(0, options.width, options.height, 32, SDL_PIXELFORMAT_ARGB8888);
        renderer = canvas ? SDL_CreateSoftwareRenderer(canvas) : nullptr;
    } else {
        std::string title = options.watch ? "watching " + options.host + ":" + std::to_string(options.port)
                                          : options.name;
        window = SDL_CreateWindow(("Skirmish - " + title).c_str(), SDL_WINDOWPOS_CENTERED,
                                  SDL_WINDOWPOS_CENTERED, options.width, options.height, SDL_WINDOW_RESIZABLE);
        renderer = window ? SDL_CreateRenderer(window, -1, SDL_RENDERER_PRESENTVSYNC) : nullptr;
        if (window && !renderer)
            renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    }
    if (!renderer) {
        std::cerr << "skirmish-client: cannot open a " << (options.headless ? "canvas" : "window") << ": "
                  << SDL_GetError() << "\n";
        return 1;
    }
    TTF_Font* font = OpenFont();

    GameState state;
    state.myName = options.name.substr(0, 255);
    state.spectator = options.watch;
    NetClient net;
    net.useVersion(options.version);
    if (net.connect(options.host, options.port, 3000, 1, options.watch ? Role::Spectator : Role::Player)) {
        if (!options.watch)
            net.send(command::Name(state.myName));
    } else {
        state.link = Link::Unreachable;
        std::cerr << "skirmish-client: " << LinkMessage(state, options.host, options.port) << "\n";
    }

    Prediction prediction;
    Smoothing smoothing;
    std::deque<double> frames; // the last second's
    Controls controls;
    controls.wholeMap = options.wholeMap;
    controls.watching = options.watch;
    const auto start = std::chrono::steady_clock::now();
    bool running = true;
    Link reported = state.link;
    while (running) {
        if (options.seconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options.seconds))
            break;
        SDL_Event event;
        while (!options.headless && SDL_PollEvent(&event))
            HandleEvent(event, controls, net, state, prediction, running);
        ReadServer(net, state, prediction, smoothing);
        const double now = NowMs();
        for (frames.push_back(now); frames.front() < now - 1000;)
            frames.pop_front();
        const GameState shown = Shown(state, prediction, smoothing, controls.aim, now);
        if (state.link != reported && state.link != Link::Playing) {
            std::cerr << "skirmish-client: " << LinkMessage(state, options.host, options.port) << "\n";
            reported = state.link;
        }
        int width = options.width, height = options.height;
        if (window)
            SDL_GetRendererOutputSize(renderer, &width, &height);
        if (!options.headless && options.watch && !controls.wholeMap)
            PanCamera(controls);
        View view = controls.wholeMap ? WholeMapView(shown, width, height) : FollowView(shown, width, height);
        if (options.watch && !controls.wholeMap) {
            // Following nobody, the view is centred on the map; the camera moves it.
            view.originX += controls.panX;
            view.originY += controls.panY;
        }
        if (!options.headless && !options.watch)
            SendHeldInput(controls, net, shown, view, prediction);
        std::string stats;
        if (controls.showStats)
            stats = "ping " + (prediction.ping() ? std::to_string(std::lround(*prediction.ping())) + " ms" : "-") +
                    "  " + std::to_string(frames.size()) + " fps";
        DrawFrame(renderer, font, shown, view, height, LinkMessage(state, options.host, options.port),
                  controls.chatLine, stats);
        if (window)
            SDL_RenderPresent(renderer);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }

    int status = 0;
    if (!options.screenshot.empty()) {
        int width = options.width, height = options.height;
        if (window)
            SDL_GetRendererOutputSize(renderer, &width, &height);
        if (!SaveScreenshot(renderer, width, height, options.screenshot)) {
            std::cerr << "skirmish-client: cannot write " << options.screenshot << ": " << SDL_GetError() << "\n";
            status = 1;
        }
    }
    net.disconnect(300);
    if (font)
        TTF_CloseFont(font);
    SDL_DestroyRenderer(renderer);
    if (canvas)
        SDL_FreeSurface(canvas);
    if (window)
        SDL_DestroyWindow(window);
    TTF_Quit();
    SDL_Quit();
    if (state.link != Link::Playing && status == 0)
        status = 2; // never got to play, or the game ended under us
    return status;
}

} // namespace
} // namespace skirmish::client

int main(int argc, char** argv)
{
    skirmish::client::Options options;
    if (!skirmish::client::ParseOptions(argc, argv, options))
        return 64;
    return skirmish::client::Run(options);
}
