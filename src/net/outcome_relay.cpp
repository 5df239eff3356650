// Relaying a serving thread's view of its client to the connection's watch.
#include "net/outcome_relay.hpp"

#include <utility>

namespace velto::net {

OutcomeRelay::OutcomeRelay(std::shared_ptr<ClientWatch> watch) noexcept
    : watch_(std::move(watch)) {
    if (watch_) watch_->attach();
}

void OutcomeRelay::client_gone() const noexcept {
    if (watch_) watch_->report(ClientOutcome::Disconnected);
}

void OutcomeRelay::serving_ended(End end) noexcept {
    if (!watch_) return;
    if (end == End::Stopped) watch_->report(ClientOutcome::Stopped);
    if (end == End::Failed) watch_->report(ClientOutcome::Failed);
    if (end == End::Lost) watch_->report(ClientOutcome::Disconnected);
    watch_->detach();
    watch_.reset();
}

}  // namespace velto::net
