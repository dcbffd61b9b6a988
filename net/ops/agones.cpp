#include "net/ops/agones.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace skirmish {
namespace {

HttpCall Label(const char* key, int value)
{
    // The sidecar stores it as agones.dev/sdk-KEY; both strings need no escaping.
    return {"PUT", "/metadata/label",
            std::string("{\"key\":\"") + key + "\",\"value\":\"" + std::to_string(value) + "\"}"};
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void AgonesSchedule::stopping(int64_t nowMs)
{
    if (stopping_)
        return;
    stopping_ = true;
    giveUpAtMs_ = nowMs + kShutdownWithinMs;
    retryAtMs_.reset(); // the exit waits for no retry of a call that no longer matters
}

std::optional<HttpCall> AgonesSchedule::next(int64_t nowMs) const
{
    if (finished(nowMs) || (retryAtMs_ && nowMs < *retryAtMs_))
        return std::nullopt;
    if (stopping_)
        return HttpCall{"POST", "/shutdown", "{}"};
    if (!hosting_)
        return std::nullopt;
    if (!ready_)
        return HttpCall{"POST", "/ready", "{}"};
    if (!playersTaken_ || taken_.players != counts_.players)
        return Label("players", counts_.players);
    if (!spectatorsTaken_ || taken_.spectators != counts_.spectators)
        return Label("spectators", counts_.spectators);
    if (beaten_ && (!lastHealthMs_ || nowMs - *lastHealthMs_ >= kHealthEveryMs))
        return HttpCall{"POST", "/health", "{}"};
    return std::nullopt;
}

void AgonesSchedule::done(int64_t nowMs, const HttpCall& call, bool succeeded)
{
    if (call.target == "/shutdown")
        ++shutdownTries_;
    if (!succeeded) {
        retryAtMs_ = nowMs + retryMs_;
        return;
    }
    retryAtMs_.reset();
    if (call.target == "/ready")
        ready_ = true;
    else if (call.target == "/shutdown")
        shutdownTaken_ = true;
    else if (call.target == "/health") {
        lastHealthMs_ = nowMs;
        beaten_ = false;
    } else if (call == Label("players", counts_.players)) {
        taken_.players = counts_.players;
        playersTaken_ = true;
    } else if (call == Label("spectators", counts_.spectators)) {
        taken_.spectators = counts_.spectators;
        spectatorsTaken_ = true;
    }
}

std::optional<int64_t> AgonesSchedule::msUntilDue(int64_t nowMs) const
{
    if (finished(nowMs))
        return std::nullopt;
    if (retryAtMs_ && nowMs < *retryAtMs_)
        return stopping_ ? std::min(*retryAtMs_, giveUpAtMs_) - nowMs : *retryAtMs_ - nowMs;
    if (next(nowMs))
        return 0;
    if (hosting_ && !stopping_ && beaten_ && lastHealthMs_)
        return *lastHealthMs_ + kHealthEveryMs - nowMs;
    return std::nullopt; // waits for the loop: a beat, a change or the stop
}

struct AgonesLink::Shared {
    Shared(uint16_t port, AgonesTimings timings) : port(port), timings(timings), schedule(timings.retryMs) {}
    uint16_t port;
    AgonesTimings timings;
    std::mutex mutex;
    std::condition_variable changed;
    AgonesSchedule schedule;
    std::thread thread;

    // The HTTP calls run with the lock released, so the loop never waits on one.
    void run()
    {
        std::unique_lock lock(mutex);
        while (!schedule.finished(NowMs())) {
            if (std::optional<HttpCall> call = schedule.next(NowMs())) {
                const std::chrono::milliseconds timeout(schedule.timeoutMs(NowMs(), timings.callTimeout.count()));
                lock.unlock();
                HttpAnswer answer = CallHttp("127.0.0.1", port, *call, timeout);
                lock.lock();
                schedule.done(NowMs(), *call, answer.status >= 200 && answer.status < 300);
                continue;
            }
            if (std::optional<int64_t> wait = schedule.msUntilDue(NowMs()))
                changed.wait_for(lock, std::chrono::milliseconds(*wait));
            else
                changed.wait(lock);
        }
    }

    // Wakes the thread only when the change gives it something to do.
    template <typename Change>
    void note(Change change)
    {
        bool wake = true;
        {
            std::lock_guard lock(mutex);
            wake = change(schedule);
        }
        if (wake)
            changed.notify_one();
    }
};

AgonesLink::AgonesLink(uint16_t port, AgonesTimings timings)
    : shared_(std::make_unique<Shared>(port, timings))
{
    shared_->thread = std::thread([shared = shared_.get()] { shared->run(); });
}

AgonesLink::~AgonesLink() { stop(); }

void AgonesLink::hosting()
{
    shared_->note([](AgonesSchedule& schedule) { return schedule.hosting(), true; });
}

void AgonesLink::beat(const FleetCounts& counts)
{
    shared_->note([&](AgonesSchedule& schedule) { return schedule.beat(counts); });
}

void AgonesLink::stopping()
{
    shared_->note([](AgonesSchedule& schedule) { return schedule.stopping(NowMs()), true; });
}

void AgonesLink::stop()
{
    if (!shared_->thread.joinable())
        return;
    stopping();
    shared_->thread.join();
}

} // namespace skirmish
