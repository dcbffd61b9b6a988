#pragma once

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>

#include <string>

#include "client/game_state.h"
#include "client/view.h"

namespace skirmish::client {

struct Colour {
    uint8_t r, g, b;
};

constexpr Colour kBackground{18, 18, 24};
constexpr Colour kMapFloor{38, 42, 52};
constexpr Colour kRoomFill{64, 104, 156};
constexpr Colour kRoomEdge{120, 160, 210};
constexpr Colour kPlayerColour{232, 180, 60};
constexpr Colour kOwnColour{90, 220, 120};
constexpr Colour kDeadColour{120, 120, 120};
constexpr Colour kProjectileColour{250, 80, 60};
constexpr Colour kText{230, 230, 230};

// Map units of a player's drawn radius (its hit box reaches 20).
constexpr float kPlayerRadius = 16.0f;

// Draws one frame: map, rooms, projectiles, players with names, and the HUD.
// font may be null (no text). chatLine is the line being typed, or empty; stats, shown in
// the top right corner, likewise.
void DrawFrame(SDL_Renderer* renderer, TTF_Font* font, const GameState& state, const View& view, int height,
               const std::string& status, const std::string& chatLine, const std::string& stats = "");

} // namespace skirmish::client
