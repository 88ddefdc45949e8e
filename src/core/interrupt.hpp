#pragma once
#include <functional>
namespace quorvel {
// Called by long computations between units of work (optimiser iterations,
// blocks of rows); returns to let the work go on, throws to abandon it.
using Interrupt = std::function<void()>;
}  // namespace quorvel
