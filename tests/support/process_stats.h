#pragma once

#include <cstddef>

namespace lark::test {

// Threads alive in this process right now.
std::size_t ThreadCount();

}  // namespace lark::test
