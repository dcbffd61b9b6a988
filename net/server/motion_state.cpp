#include "net/server/motion_state.h"

#include <algorithm>
#include <bit>

#include "protocol/names.h"

namespace skirmish {
namespace {

bool SameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// Clock readings wrap: a moment is reached when the signed difference says so.
bool Reached(int32_t now, int32_t moment)
{
    return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(moment)) >= 0;
}

} // namespace

void MotionWorld::reset(int playerSlots)
{
    entries_.assign(static_cast<size_t>(std::max(playerSlots, 0)), Entry{});
    version_ = 0;
    tick_ = 0;
}

MotionWorld::Entry* MotionWorld::entry(int id)
{
    return id > 0 && static_cast<size_t>(id) < entries_.size() ? &entries_[static_cast<size_t>(id)] : nullptr;
}

MotionWorld::Kind MotionWorld::observe(std::span<const uint8_t> message, int& subject)
{
    if (IsNamed(message, names::kProjMove))
        return Kind::Projectile;
    const bool moved = IsNamed(message, names::kMoved);
    const bool rotated = !moved && IsNamed(message, names::kRotated);
    const bool left = !moved && !rotated && IsNamed(message, names::kLeft);
    if (!moved && !rotated && !left)
        return Kind::Event;
    MessageReader fields(message);
    fields.getString();
    Entry* pose = entry(fields.getInt());
    if (!pose)
        return Kind::Event;
    if (left) {
        *pose = Entry{};
        return Kind::Event;
    }
    subject = static_cast<int>(pose - entries_.data());
    pose->present = true;
    if (moved) {
        float x = fields.getFloat();
        float y = fields.getFloat();
        // A move to where it stands is no news: nobody is sent it again.
        if (!pose->hasPosition || !SameBits(x, pose->x) || !SameBits(y, pose->y)) {
            pose->x = x;
            pose->y = y;
            pose->hasPosition = true;
            pose->positionVersion = ++version_;
        }
    } else {
        float facing = fields.getFloat();
        if (!pose->hasFacing || !SameBits(facing, pose->facing)) {
            pose->facing = facing;
            pose->hasFacing = true;
            pose->facingVersion = ++version_;
        }
    }
    return Kind::Motion;
}

bool MotionLink::unacknowledged(const MotionWorld::Entry& entry, const Known& known) const
{
    return entry.present && ((entry.hasPosition && entry.positionVersion > known.position) ||
                             (entry.hasFacing && entry.facingVersion > known.facing));
}

std::optional<int32_t> MotionLink::dueAt(const MotionWorld& world) const
{
    const bool news = world.version() != worldSent_ || world.tick() != tickSent_;
    if (!sentOnce_)
        return news ? std::optional(lastSent_) : std::nullopt;
    if (!news && !awaiting_)
        return std::nullopt;
    const bool silent = static_cast<int32_t>(static_cast<uint32_t>(lastSent_) - static_cast<uint32_t>(lastHeard_)) >
                        kStateSilenceMs;
    return lastSent_ + (!news && silent ? kStateSilentResendMs : kStateIntervalMs);
}

std::optional<Bytes> MotionLink::build(const MotionWorld& world, int32_t now)
{
    std::optional<int32_t> due = dueAt(world);
    if (!due || (sentOnce_ && !Reached(now, *due)))
        return std::nullopt;
    const auto& entries = world.entries();
    known_.resize(entries.size());

    // Poses never carried since their last change go first, then the ones carried
    // longest ago: a full state delays the most recently resent.
    std::vector<Candidate>& candidates = candidates_;
    candidates.clear();
    for (size_t id = 1; id < entries.size(); ++id) {
        const Known& known = known_[id];
        if (static_cast<int>(id) == self_ || !unacknowledged(entries[id], known))
            continue;
        bool fresh = known.carries == 0 || known.carriedPosition != entries[id].positionVersion ||
                     known.carriedFacing != entries[id].facingVersion;
        candidates.push_back({static_cast<int>(id), fresh, known.carriedIn});
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.fresh != b.fresh)
            return a.fresh;
        if (!a.fresh && a.carriedIn != b.carriedIn)
            return v3::Newer(b.carriedIn, a.carriedIn);
        return a.id < b.id;
    });

    const uint32_t number = next_;
    v3::StateWriter state(number, world.tick());
    size_t carried = 0;
    for (const Candidate& candidate : candidates) {
        const MotionWorld::Entry& entry = entries[static_cast<size_t>(candidate.id)];
        Known& known = known_[static_cast<size_t>(candidate.id)];
        v3::Pose pose{candidate.id, entry.hasPosition && entry.positionVersion > known.position,
                      entry.hasFacing && entry.facingVersion > known.facing, entry.x, entry.y, entry.facing};
        if (state.size() + v3::StateWriter::sizeOf(pose) > kMaxStateBytes)
            continue;
        state.add(pose);
        ++carried;
        if (candidate.fresh) {
            known.carriedPosition = entry.positionVersion;
            known.carriedFacing = entry.facingVersion;
            known.carries = 1;
        } else {
            uint32_t since = number - known.carriedIn;
            known.carries = since >= 64 ? 1 : (known.carries << since) | 1;
        }
        known.carriedIn = number;
    }
    const bool tickNews = !sentOnce_ || world.tick() != tickSent_;
    worldSent_ = world.version();
    awaiting_ = !candidates.empty();
    if (carried == 0 && !tickNews)
        return std::nullopt;
    if (!sentOnce_)
        lastHeard_ = now; // silence counts from the first state
    ++next_;
    tickSent_ = world.tick();
    sentOnce_ = true;
    lastSent_ = now;
    return state.bytes();
}

void MotionLink::acknowledge(uint32_t number, int32_t now)
{
    if (!sentOnce_ || v3::Newer(number, next_ - 1))
        return; // never sent
    lastHeard_ = now;
    if (acknowledged_ && !v3::Newer(number, *acknowledged_))
        return;
    acknowledged_ = number;
    for (Known& known : known_) {
        uint32_t back = known.carriedIn - number;
        if (back < 64 && ((known.carries >> back) & 1)) {
            known.position = std::max(known.position, known.carriedPosition);
            known.facing = std::max(known.facing, known.carriedFacing);
        }
    }
}

} // namespace skirmish
