#include "base/hobject.h"

namespace BRIXEL {

const CHRuntimeClass CHObject::s_runtimeClass = {
    "CHObject", static_cast<uint32_t>(sizeof(CHObject)), 0, nullptr};

const CHRuntimeClass* CHObject::GetRuntimeClass() const {
    return &s_runtimeClass;
}

bool CHObject::IsKindOf(const CHRuntimeClass* record) const {
    if (!record)
        return false;
    for (const CHRuntimeClass* r = GetRuntimeClass(); r; r = r->baseClass) {
        if (r == record)
            return true;
    }
    return false;
}

}  // namespace BRIXEL
