#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "net/ops/http_call.h"

namespace skirmish {

// What the fleet manager is told of a match: labels, kept as the counts change.
struct FleetCounts {
    int players = 0;
    int spectators = 0;
    bool operator==(const FleetCounts&) const = default;
};

// The Agones SDK's calls over REST, decided on time given as a value: no thread, no
// socket. Ready goes first, once the match is hosting, and is retried until the
// sidecar takes it; then the labels whenever the counts differ from those it took,
// and health at most every kHealthEveryMs, and only after the loop has beaten since
// the last one (a stalled loop stops the pings, and the fleet manager sees it).
// Once stopping, shutdown is the only call left, made at once, tried kShutdownTries
// times at most and given up kShutdownWithinMs after the stop: a sidecar that is
// down or never answers costs the exit that long, no more.
class AgonesSchedule {
public:
    static constexpr int64_t kHealthEveryMs = 2000;
    static constexpr int kShutdownTries = 2;
    static constexpr int64_t kShutdownWithinMs = 2000;

    explicit AgonesSchedule(int64_t retryMs = 1000) : retryMs_(retryMs) {}

    void hosting() { hosting_ = true; }
    // True when it gives next() something new: the first beat since the last health,
    // or other counts. Beats in between change nothing, so the loop wakes nobody.
    bool beat(const FleetCounts& counts)
    {
        bool news = !beaten_ || counts != counts_;
        beaten_ = true;
        counts_ = counts;
        return news;
    }
    void stopping(int64_t nowMs);

    // The call to make now, if any; its outcome goes to done().
    std::optional<HttpCall> next(int64_t nowMs) const;
    void done(int64_t nowMs, const HttpCall& call, bool succeeded);
    // How long until next() has a call, when nothing else happens; nothing: never.
    std::optional<int64_t> msUntilDue(int64_t nowMs) const;
    // Stopping, and shutdown taken or given up.
    bool finished(int64_t nowMs) const
    {
        return stopping_ && (shutdownTaken_ || shutdownTries_ >= kShutdownTries || nowMs >= giveUpAtMs_);
    }
    // How long a call made now may take: callMs, and once stopping no later than the give-up.
    int64_t timeoutMs(int64_t nowMs, int64_t callMs) const
    {
        return stopping_ ? std::min(callMs, giveUpAtMs_ - nowMs) : callMs;
    }

private:
    int64_t retryMs_;
    bool hosting_ = false;
    bool stopping_ = false;
    int64_t giveUpAtMs_ = 0;
    bool ready_ = false;
    bool beaten_ = false;
    std::optional<int64_t> lastHealthMs_;
    std::optional<int64_t> retryAtMs_;
    FleetCounts counts_;
    std::optional<FleetCounts> labelled_; // what the sidecar holds: nothing until both were taken once
    FleetCounts taken_;                   // each label as the sidecar took it
    bool playersTaken_ = false;
    bool spectatorsTaken_ = false;
    bool shutdownTaken_ = false;
    int shutdownTries_ = 0;
};

struct AgonesTimings {
    std::chrono::milliseconds callTimeout{1000};
    int64_t retryMs = 1000;
};

// The schedule run on a thread of its own against the sidecar on 127.0.0.1:port. The
// loop's calls, and stopping(), only note what happened and return: a sidecar that is
// slow, absent or silent costs the loop nothing. The destructor stops it (see stop()).
class AgonesLink {
public:
    AgonesLink(uint16_t port, AgonesTimings timings = {});
    ~AgonesLink();
    AgonesLink(const AgonesLink&) = delete;
    AgonesLink& operator=(const AgonesLink&) = delete;

    void hosting();
    void beat(const FleetCounts& counts);
    // Has shutdown sent, without waiting for it: the clients can be told meanwhile.
    void stopping();
    // stopping(), then joins the thread: whatever the sidecar does, that waits for the
    // call in flight and AgonesSchedule::kShutdownWithinMs after stopping(), the longer.
    void stop();

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

} // namespace skirmish
