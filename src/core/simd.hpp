// Four doubles at a time, through the compiler's generic vectors: each lane
// is rounded as its scalar operation would be (no contraction, no
// reassociation), so lanes give exactly the scalar results.  Used only
// inside functions compiled per instruction set (QUORVEL_MULTIVERSION), into
// which these helpers are always inlined.
#pragma once

#include <cstring>

#include "core/linalg.hpp"

#if defined(__GNUC__) || defined(__clang__)
#define QUORVEL_HAVE_V4 1

namespace quorvel::simd {

// The helpers pass vectors by value but are always inlined, so no call ABI
// is involved.
#pragma GCC diagnostic ignored "-Wpsabi"
// Four doubles, loaded and stored without an alignment requirement.
typedef double v4 __attribute__((vector_size(32), aligned(8)));

QUORVEL_ALWAYS_INLINE inline v4 load4(const double* p) {
    v4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QUORVEL_ALWAYS_INLINE inline void store4(double* p, v4 v) { std::memcpy(p, &v, sizeof v); }
QUORVEL_ALWAYS_INLINE inline v4 broadcast4(double s) { return v4{s, s, s, s}; }

}  // namespace quorvel::simd
#endif
