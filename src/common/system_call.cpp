// Writing whole texts to a descriptor.
#include "common/system_call.hpp"

#include <unistd.h>

namespace velto {

Status<SystemError> write_all(int fd, std::string_view bytes) noexcept {
    try {
        while (!bytes.empty()) {
            auto written = system_call([&] { return ::write(fd, bytes.data(), bytes.size()); });
            if (!written) return fail(std::move(written).error());
            if (written.value() == 0) {
                return fail(SystemError::fixed("WriteZero", "failed to write whole buffer"));
            }
            bytes.remove_prefix(static_cast<std::size_t>(written.value()));
        }
        return ok_unit;
    } catch (...) {
        // Out of memory for the error's texts: the write failed all the same.
        return fail(SystemError{});
    }
}

}  // namespace velto
