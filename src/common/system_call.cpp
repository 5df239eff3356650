// Writing whole texts to a descriptor.
#include "common/system_call.hpp"

#include <unistd.h>

namespace velto {

Status<SystemError> write_all(int fd, std::string_view bytes) noexcept {
    try {
        return write_fully(bytes.data(), bytes.size(), [fd](const char* data, std::size_t size) {
            return ::write(fd, data, size);
        });
    } catch (...) {
        // Out of memory for the error's texts: the write failed all the same.
        return fail(SystemError{});
    }
}

}  // namespace velto
