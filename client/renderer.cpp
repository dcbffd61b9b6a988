#include "client/renderer.h"

#include <algorithm>
#include <cmath>

namespace skirmish::client {
namespace {

void SetColour(SDL_Renderer* renderer, Colour c) { SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, 255); }

// Screen rectangles of absurd worlds are clamped so SDL's int coordinates never overflow.
int Pixel(float value) { return static_cast<int>(std::clamp(value, -1.0e6f, 1.0e6f)); }

void FillDisc(SDL_Renderer* renderer, float cx, float cy, float radius)
{
    int r = std::max(1, Pixel(radius));
    for (int dy = -r; dy <= r; ++dy) {
        int half = static_cast<int>(std::sqrt(static_cast<float>(r * r - dy * dy)));
        SDL_RenderDrawLine(renderer, Pixel(cx) - half, Pixel(cy) + dy, Pixel(cx) + half, Pixel(cy) + dy);
    }
}

void DrawText(SDL_Renderer* renderer, TTF_Font* font, const std::string& text, int x, int y, bool centred = false)
{
    if (!font || text.empty())
        return;
    SDL_Color colour{kText.r, kText.g, kText.b, 255};
    SDL_Surface* surface = TTF_RenderUTF8_Blended(font, text.c_str(), colour);
    if (!surface)
        return;
    SDL_Texture* texture = SDL_CreateTextureFromSurface(renderer, surface);
    SDL_Rect where{centred ? x - surface->w / 2 : x, y, surface->w, surface->h};
    if (texture)
        SDL_RenderCopy(renderer, texture, nullptr, &where);
    SDL_DestroyTexture(texture);
    SDL_FreeSurface(surface);
}

void DrawWorld(SDL_Renderer* renderer, TTF_Font* font, const GameState& state, const View& view)
{
    SetColour(renderer, kMapFloor);
    SDL_Rect map{Pixel(view.screenX(0)), Pixel(view.screenY(0)), Pixel(state.sizeX * kTile * view.scale),
                 Pixel(state.sizeY * kTile * view.scale)};
    SDL_RenderFillRect(renderer, &map);

    for (const RoomRect& room : state.rooms) {
        SDL_Rect rect{Pixel(view.screenX(room.x * kTile)), Pixel(view.screenY(room.y * kTile)),
                      Pixel(room.width * kTile * view.scale), Pixel(room.height * kTile * view.scale)};
        SetColour(renderer, kRoomFill);
        SDL_RenderFillRect(renderer, &rect);
        SetColour(renderer, kRoomEdge);
        SDL_RenderDrawRect(renderer, &rect);
    }

    SetColour(renderer, kProjectileColour);
    for (const auto& [id, projectile] : state.projectiles) {
        int size = std::max(3, Pixel(4 * view.scale));
        SDL_Rect dot{Pixel(view.screenX(projectile.x)) - size / 2, Pixel(view.screenY(projectile.y)) - size / 2, size, size};
        SDL_RenderFillRect(renderer, &dot);
    }

    for (const auto& [id, player] : state.players) {
        float x = view.screenX(player.x);
        float y = view.screenY(player.y);
        float radius = std::max(4.0f, kPlayerRadius * view.scale);
        SetColour(renderer, player.dead ? kDeadColour : id == state.myId ? kOwnColour : kPlayerColour);
        FillDisc(renderer, x, y, radius);
        // The facing mark points where its shots travel: angle − 90 degrees.
        double heading = (player.rotation - 90.0) * 3.14159265358979 / 180.0;
        SetColour(renderer, kBackground);
        SDL_RenderDrawLine(renderer, Pixel(x), Pixel(y), Pixel(x + static_cast<float>(std::cos(heading)) * radius * 1.6f),
                           Pixel(y + static_cast<float>(std::sin(heading)) * radius * 1.6f));
        DrawText(renderer, font, player.name, Pixel(x), Pixel(y - radius) - 18, true);
    }
}

void DrawHud(SDL_Renderer* renderer, TTF_Font* font, const GameState& state, int height, const std::string& status,
             const std::string& chatLine)
{
    if (state.link == Link::Playing)
        DrawText(renderer, font,
                 state.spectator ? "Watching: " + std::to_string(state.players.size()) + " players"
                                 : "Health " + std::to_string(state.myHealth),
                 10, 8);
    int y = height - 24 * static_cast<int>(state.log.size() + 1) - 8;
    for (const std::string& line : state.log) {
        DrawText(renderer, font, line, 10, y);
        y += 24;
    }
    if (!chatLine.empty())
        DrawText(renderer, font, "say: " + chatLine, 10, y);
    if (!status.empty())
        DrawText(renderer, font, status, 10, 36);
}

} // namespace

void DrawFrame(SDL_Renderer* renderer, TTF_Font* font, const GameState& state, const View& view, int height,
               const std::string& status, const std::string& chatLine, const std::string& stats)
{
    SetColour(renderer, kBackground);
    SDL_RenderClear(renderer);
    if (state.sizeX > 0)
        DrawWorld(renderer, font, state, view);
    DrawHud(renderer, font, state, height, status, chatLine);
    int width = 0;
    if (font && !stats.empty() && SDL_GetRendererOutputSize(renderer, &width, nullptr) == 0) {
        int textWidth = 0;
        TTF_SizeUTF8(font, stats.c_str(), &textWidth, nullptr);
        DrawText(renderer, font, stats, width - textWidth - 10, 8);
    }
}

} // namespace skirmish::client
