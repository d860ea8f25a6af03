// parallelFor: runs body(begin, end) over disjoint chunks covering [0, count) on the process-wide
// worker threads and returns when every chunk is done. The calling thread works too, so nested or
// concurrent calls never deadlock and never add threads beyond the budget.
#pragma once

#include <cstddef>
#include <functional>

namespace pelorin {

// Threads the process may keep busy at once (the machine's cores, at least 1).
size_t threadBudget();

void parallelFor(size_t count, const std::function<void(size_t begin, size_t end)>& body);

} // namespace pelorin
