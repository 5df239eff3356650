// System errors as values: an errno, or one of the module's own fixed failures.
#pragma once

#include <string>

namespace velto {

struct SystemError {
    int code = 0;         // the errno; 0 for a failure detected by the module itself
    std::string kind;     // the errno's name ("EADDRINUSE") or the fixed kind ("InvalidInput")
    std::string message;  // the C library's description of the errno, or the fixed message

    static SystemError from_errno(int code);
    static SystemError fixed(std::string kind, std::string message);

    // "<C library text> (os error N)", or the fixed message.
    std::string display() const;
    // One line naming the kind, the errno when there is one, and the message:
    // "[EADDRINUSE, errno 98] Address already in use", "[InvalidInput] invalid port value".
    std::string structured() const;
};

}  // namespace velto
