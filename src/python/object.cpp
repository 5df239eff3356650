// The borrow guard's two refusals.
#include "python/object.hpp"

namespace velto::python {

Result<ExclusiveBorrow, OperationError> ExclusiveBorrow::take(BorrowState& state) {
    if (state != 0) return fail(runtime_error("Already borrowed"));
    state = -1;
    return ExclusiveBorrow(state);
}

Result<SharedBorrow, OperationError> SharedBorrow::take(BorrowState& state) {
    if (state == -1) return fail(runtime_error("Already mutably borrowed"));
    ++state;
    return SharedBorrow(state);
}

}  // namespace velto::python
