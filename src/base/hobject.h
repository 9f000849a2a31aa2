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

    static const CHRuntimeClass s_runtimeClass;
};

// Works with qualified names too (H_RUNTIME_CLASS(BRIXEL::CHObject)).
#define H_RUNTIME_CLASS(cls) (&cls::s_runtimeClass)

#define H_DECLARE_RUNTIME_CLASS(cls)                      \
public:                                                   \
    static const ::BRIXEL::CHRuntimeClass s_runtimeClass; \
    const ::BRIXEL::CHRuntimeClass* GetRuntimeClass() const override;

#define H_IMPLEMENT_RUNTIME_CLASS(cls, base)                                 \
    const ::BRIXEL::CHRuntimeClass cls::s_runtimeClass = {                   \
        #cls, static_cast<uint32_t>(sizeof(cls)), 0, H_RUNTIME_CLASS(base)}; \
    const ::BRIXEL::CHRuntimeClass* cls::GetRuntimeClass() const {           \
        return H_RUNTIME_CLASS(cls);                                         \
    }

}  // namespace BRIXEL
