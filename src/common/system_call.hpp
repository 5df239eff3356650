// Blocking system calls as values: one place that decides what an interruption by a signal
// means, and one writer that puts whole texts on a descriptor.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "common/result.hpp"
#include "common/system_error.hpp"

namespace velto {

// The default decision after EINTR: the signal was not for this call, so it goes on.
struct RetryInterrupted {
    bool operator()() const noexcept { return true; }
};

// Runs `call`, a system call that returns a negative value and sets errno when it fails. When
// it fails with EINTR, `after_interrupt()` decides: true runs the call again, false gives up
// and the EINTR error is the result. That hook is where a caller that owes the interpreter its
// signal handlers runs them before it waits again.
template <class Call, class AfterInterrupt = RetryInterrupted>
auto system_call(Call&& call, AfterInterrupt&& after_interrupt = {})
    -> Result<std::invoke_result_t<Call&>, SystemError> {
    for (;;) {
        const auto outcome = call();
        if (outcome >= 0) return outcome;
        const int code = errno;
        if (code == EINTR && after_interrupt()) continue;
        return fail(SystemError::from_errno(code));
    }
}

// Writes `size` bytes from `data` with `write_once(data, size)`, a call like write(2) that may
// take fewer, until every byte went out. After EINTR, and after a write cut short (a signal
// that lands once part of the bytes went out shows as a short count, not as EINTR),
// `after_interrupt` decides whether to go on; false fails with EINTR. A write that takes
// nothing is "WriteZero".
template <class WriteOnce, class AfterInterrupt = RetryInterrupted>
Status<SystemError> write_fully(const char* data, std::size_t size, WriteOnce&& write_once,
                                AfterInterrupt&& after_interrupt = {}) {
    while (size > 0) {
        auto written = system_call([&] { return write_once(data, size); }, after_interrupt);
        if (!written) return fail(std::move(written).error());
        if (written.value() == 0) {
            return fail(SystemError::fixed("WriteZero", "failed to write whole buffer"));
        }
        const auto taken = static_cast<std::size_t>(written.value());
        data += taken;
        size -= taken;
        if (size > 0 && !after_interrupt()) return fail(SystemError::from_errno(EINTR));
    }
    return ok_unit;
}

// Writes every byte of `bytes` to `fd` with write(2), continuing writes that a signal or a full
// pipe cut short. One call per text keeps texts from several threads whole when each fits in
// one write. Fails with the descriptor's error; a write that takes nothing is "WriteZero".
Status<SystemError> write_all(int fd, std::string_view bytes) noexcept;

}  // namespace velto
