// The stop channel's one error: its receiver is gone, so a stop can no longer be sent.
#pragma once

namespace velto::net {

struct ChannelClosed {
    static constexpr const char* text = "sending on a closed channel";
};

}  // namespace velto::net
