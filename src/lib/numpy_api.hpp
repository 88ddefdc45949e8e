#pragma once

namespace quorvel::py {

// Loads NumPy's array API table on first use (NumPy 2 through numpy._core,
// NumPy 1.x through numpy.core) with the usual ABI and feature version
// checks.  Throws ErrorAlreadySet with the internal-error exception set when
// it cannot; the NumPy failure becomes its __cause__.
void ensure_numpy();

}  // namespace quorvel::py
