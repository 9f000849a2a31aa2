#pragma once
// Counts the large blocks that live in a test binary's C++ heap, as an outside view of how many
// picture buffers a component holds. Linking support/large_blocks.cpp replaces the binary's
// global operator new and delete; every C++ allocation of the process goes through them.

#include <cstddef>
#include <cstdint>

namespace quorix_test {

// False when a sanitizer owns operator new: nothing is counted then.
bool CountsLargeBlocks();
// Blocks of at least `bytes` are counted from now on. Set it once, before the blocks of interest
// exist: a block is counted when it is freed exactly as when it was made.
void SetLargeBlockSize(size_t bytes);
// Counted blocks made minus those freed since the size was set.
int64_t LiveLargeBlocks();

}  // namespace quorix_test
