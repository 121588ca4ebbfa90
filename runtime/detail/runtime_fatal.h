#pragma once

// Broken invariants of the runtime: a message on standard error, then abort().

namespace platform::detail {

[[noreturn]] void fatal(const char* message);

}  // namespace platform::detail
