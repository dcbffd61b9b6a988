#include "client/view.h"

#include <algorithm>
#include <cmath>

namespace skirmish::client {

View WholeMapView(const GameState& state, int width, int height)
{
    float left = 0, top = 0;
    float right = std::max(1, state.sizeX) * kTile;
    float bottom = std::max(1, state.sizeY) * kTile;
    for (const RoomRect& room : state.rooms) {
        left = std::min(left, room.x * kTile);
        top = std::min(top, room.y * kTile);
        right = std::max(right, (room.x + room.width) * kTile);
        bottom = std::max(bottom, (room.y + room.height) * kTile);
    }
    const float margin = 16;
    float scale = std::min((width - 2 * margin) / (right - left), (height - 2 * margin) / (bottom - top));
    View view;
    view.scale = scale;
    view.originX = left - (width / scale - (right - left)) / 2;
    view.originY = top - (height / scale - (bottom - top)) / 2;
    return view;
}

View FollowView(const GameState& state, int width, int height, float unitsAcross)
{
    View view;
    view.scale = static_cast<float>(std::min(width, height)) / unitsAcross;
    float centreX = std::max(1, state.sizeX) * kTile / 2;
    float centreY = std::max(1, state.sizeY) * kTile / 2;
    auto me = state.players.find(state.myId);
    if (me != state.players.end() && std::isfinite(me->second.x) && std::isfinite(me->second.y)) {
        centreX = me->second.x;
        centreY = me->second.y;
    }
    view.originX = centreX - width / (2 * view.scale);
    view.originY = centreY - height / (2 * view.scale);
    return view;
}

float AimAngle(float dx, float dy)
{
    float travel = static_cast<float>(std::atan2(dy, dx) * 180.0 / 3.14159265358979);
    float angle = travel + 90.0f;
    return angle < 0 ? angle + 360.0f : angle;
}

} // namespace skirmish::client
