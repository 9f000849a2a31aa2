#pragma once
// Root class with a static run-time class record, so a handle can be checked for its kind.

#include <cstdint>

namespace BRIXEL {

struct CHRuntimeClass {
    const char* className;
    uint32_t objectSize;
    uint32_t reserved;
    const CHRuntimeClass* baseClass;
};

class CHObject {
public:
    virtual const CHRuntimeClass* GetRuntimeClass() const;
    virtual ~CHObject() = default;

    // False for null; otherwise walks from this object's record through the base links.
    bool IsKindOf(const CHRuntimeClass* record) const;

    static const CHRuntimeClass classCHObject;
};

#define H_RUNTIME_CLASS(cls) (&cls::class##cls)

#define H_DECLARE_RUNTIME_CLASS(cls)                                  \
public:                                                               \
    static const ::BRIXEL::CHRuntimeClass class##cls;                 \
    const ::BRIXEL::CHRuntimeClass* GetRuntimeClass() const override;

#define H_IMPLEMENT_RUNTIME_CLASS(cls, base)                                                    \
    const ::BRIXEL::CHRuntimeClass cls::class##cls = {#cls, static_cast<uint32_t>(sizeof(cls)), \
                                                      0, H_RUNTIME_CLASS(base)};                \
    const ::BRIXEL::CHRuntimeClass* cls::GetRuntimeClass() const { return H_RUNTIME_CLASS(cls); }

}  // namespace BRIXEL
