#include "engine/HolderExitWatch.h"

#include <windows.h>

#include <atomic>

#include "core/Handle.h"

namespace moravel {

namespace {

struct WaitTraits {
    using Handle = PTP_WAIT;
    static Handle invalid() noexcept { return nullptr; }
    static void close(Handle wait) noexcept {
        // Stopped first, and a callback under way finished, before it goes.
        SetThreadpoolWait(wait, nullptr, nullptr);
        WaitForThreadpoolWaitCallbacks(wait, TRUE);
        CloseThreadpoolWait(wait);
    }
};
using UniqueWait = Unique<WaitTraits>;

}  // namespace

struct HolderExitWatch::State {
    std::function<void()> notice;
    std::atomic<std::size_t> running{0};
    // The waits go before the processes they wait on.
    std::vector<UniqueHandle> processes;
    std::vector<UniqueWait> waits;

    static void CALLBACK ended(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WAIT, TP_WAIT_RESULT) noexcept {
        auto* state = static_cast<State*>(context);
        if (--state->running != 0) return;
        try {
            state->notice();
        } catch (...) {
            // The notice only posts a message; should it fail there is no one to tell.
        }
    }
};

HolderExitWatch::HolderExitWatch(const std::vector<unsigned long>& pids, std::function<void()> notice)
    : state_(std::make_unique<State>()) {
    state_->notice = std::move(notice);
    for (const unsigned long pid : pids) {
        UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (process) {
            state_->processes.push_back(std::move(process));
        } else if (GetLastError() != ERROR_INVALID_PARAMETER) {  // that one: no such process, it has ended
            state_.reset();
            return;
        }
    }
    // One more than the processes until every wait is set, so that none that
    // ends meanwhile tells too early; when none is left to wait for, at once.
    state_->running = state_->processes.size() + 1;
    for (const UniqueHandle& process : state_->processes) {
        UniqueWait wait(CreateThreadpoolWait(State::ended, state_.get(), nullptr));
        if (!wait) {
            state_.reset();
            return;
        }
        SetThreadpoolWait(wait.get(), process.get(), nullptr);
        state_->waits.push_back(std::move(wait));
    }
    watching_ = true;
    State::ended(nullptr, state_.get(), nullptr, 0);
}

HolderExitWatch::~HolderExitWatch() {
    if (state_) state_->waits.clear();
}

}  // namespace moravel
