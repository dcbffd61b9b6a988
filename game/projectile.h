#pragma once

#include <cstdint>

namespace skirmish {

// Map units a projectile covers in one movement step.
constexpr float ProjectileSpeed = 12.0f;

// One live projectile: a plain value, copied freely.
struct Projectile {
    int32_t id = 0;
    int32_t damage = 0;
    float speed = ProjectileSpeed;
    float x = 0;
    float y = 0;
    float angle = 0;    // degrees; travel is angle − 90 from +x towards +y
    float lifetime = 0; // seconds
    int32_t owner = 0;
    int32_t creationTime = 0; // process clock reading
    // Milliseconds after creationTime at which it has expired, worked out from
    // lifetime on first use (negative: not yet); every pass asks for it.
    int32_t expiryDelayMs = -1;
};

} // namespace skirmish
