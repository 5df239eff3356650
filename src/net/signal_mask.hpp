// A scoped signal mask: the calling thread's mask is replaced for the guard's lifetime and
// restored at its end. Two pthread_sigmask calls in all, so it can cover one action or a run
// of them.
#pragma once

#include <pthread.h>

#include <csignal>

namespace velto::net {

class ScopedSignalMask {
  public:
    explicit ScopedSignalMask(const sigset_t& mask) noexcept {
        ::pthread_sigmask(SIG_SETMASK, &mask, &previous_);
    }
    ~ScopedSignalMask() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    ScopedSignalMask(const ScopedSignalMask&) = delete;
    ScopedSignalMask& operator=(const ScopedSignalMask&) = delete;

    // Every signal blocked.
    static ScopedSignalMask block_all() noexcept {
        sigset_t all;
        ::sigfillset(&all);
        return ScopedSignalMask(all);
    }

    // The mask in force before the guard, which its end restores.
    const sigset_t& previous() const noexcept { return previous_; }

  private:
    sigset_t previous_;
};

}  // namespace velto::net
