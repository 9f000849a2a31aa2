#include "media/hframe.h"

namespace BRIXEL {

bool CHVFPool::DropBeforeKeyFrame(CHPool<CHKZFrame>* freeList) {
    if (!m_ready)
        return false;
    CHAutoLock lock(&m_lock);
    const uint32_t count = m_elements.Size();
    uint32_t key = 0;  // 0-based index of the oldest key frame
    while (key < count && !m_elements.At(key)->header.IsKeyFrame())
        ++key;
    if (key == count || key == 0)
        return false;

    // Only the records just before the key frame go; older ones keep their place so that a
    // picture already being waited for is not lost twice.
    const uint32_t first = key > kDropSpan ? key - kDropSpan : 0;
    for (uint32_t n = first; n < key; ++n) {
        CHKZFrame* dropped = m_elements.EraseAt(first);
        if (!freeList || freeList->Put(dropped) != QUORIX_OK)
            delete dropped;
    }
    return true;
}

}  // namespace BRIXEL
