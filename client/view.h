#pragma once

#include "client/game_state.h"

namespace skirmish::client {

// Map units to window pixels: screen = (world − origin) × scale.
struct View {
    float originX = 0;
    float originY = 0;
    float scale = 1;

    float screenX(float x) const { return (x - originX) * scale; }
    float screenY(float y) const { return (y - originY) * scale; }
};

constexpr float kTile = 32.0f;

// The whole map and every room (the extra one lies below the map) fitted into the window.
View WholeMapView(const GameState& state, int width, int height);

// Centred on the player, showing about this many map units across the window's smaller side.
View FollowView(const GameState& state, int width, int height, float unitsAcross = 960.0f);

// The facing angle that points from a player to a spot (dx, dy map units away),
// in the server's convention: travel is angle − 90 degrees from +x towards +y.
float AimAngle(float dx, float dy);

} // namespace skirmish::client
