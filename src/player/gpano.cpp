#include "player/gpano.h"

#include <string>

namespace {

template <typename Fn>
void StoreEntry(Fn& field, void* address) {
    field = reinterpret_cast<Fn>(address);
}

// The plain name is the decorated one without its leading underscore and its "@<argument
// bytes>" suffix.
std::string PlainName(const char* decorated) {
    std::string name(decorated + (decorated[0] == '_' ? 1 : 0));
    const size_t at = name.rfind('@');
    if (at != std::string::npos) {
        name.erase(at);
    }
    return name;
}

// In the field order of CGPano.
constexpr const char* kDecoratedNames[CGPano::kEntryCount] = {
    "_G_CreatePanoRender@20",
    "_G_InitPanoRender@8",
    "_G_GetSupportedPanoTypeList@12",
    "_G_GetViewCamera@8",
    "_G_GetOriginalPanoSize@12",
    "_G_SetViewCamera@16",
    "_G_SetDrawingRegion@20",
    "_G_InputFrame@24",
    "_G_GetCurrentPanoType@8",
    "_G_SwitchPanoType@8",
    "_G_GrabPano@16",
    "_G_SetOutputCallBack@16",
    "_G_SetPreRenderCallBack@12",
    "_G_SetRenderCallBack@12",
    "_G_UnProject@16",
    "_G_DestroyPanoRender@4",
    "_G_CalcViewCamera@16",
    "_G_GetCameraParameters@28",
};

}  // namespace

const char* CGPano::DecoratedName(int index) {
    return index >= 0 && index < kEntryCount ? kDecoratedNames[index] : nullptr;
}

void CGPano::Resolve(const std::function<void*(const char* name)>& lookup) {
    auto find = [&lookup](int index) -> void* {
        const char* decorated = kDecoratedNames[index];
        if (void* address = lookup(decorated)) {
            return address;
        }
        return lookup(PlainName(decorated).c_str());
    };
    StoreEntry(CreatePanoRender, find(0));
    StoreEntry(InitPanoRender, find(1));
    StoreEntry(GetSupportedPanoTypeList, find(2));
    StoreEntry(GetViewCamera, find(3));
    StoreEntry(GetOriginalPanoSize, find(4));
    StoreEntry(SetViewCamera, find(5));
    StoreEntry(SetDrawingRegion, find(6));
    StoreEntry(InputFrame, find(7));
    StoreEntry(GetCurrentPanoType, find(8));
    StoreEntry(SwitchPanoType, find(9));
    StoreEntry(GrabPano, find(10));
    StoreEntry(SetOutputCallBack, find(11));
    StoreEntry(SetPreRenderCallBack, find(12));
    StoreEntry(SetRenderCallBack, find(13));
    StoreEntry(UnProject, find(14));
    StoreEntry(DestroyPanoRender, find(15));
    StoreEntry(CalcViewCamera, find(16));
    StoreEntry(GetCameraParameters, find(17));
}

int CGPano::ResolvedCount() const {
    const void* entries[kEntryCount] = {
        reinterpret_cast<const void*>(CreatePanoRender),
        reinterpret_cast<const void*>(InitPanoRender),
        reinterpret_cast<const void*>(GetSupportedPanoTypeList),
        reinterpret_cast<const void*>(GetViewCamera),
        reinterpret_cast<const void*>(GetOriginalPanoSize),
        reinterpret_cast<const void*>(SetViewCamera),
        reinterpret_cast<const void*>(SetDrawingRegion),
        reinterpret_cast<const void*>(InputFrame),
        reinterpret_cast<const void*>(GetCurrentPanoType),
        reinterpret_cast<const void*>(SwitchPanoType),
        reinterpret_cast<const void*>(GrabPano),
        reinterpret_cast<const void*>(SetOutputCallBack),
        reinterpret_cast<const void*>(SetPreRenderCallBack),
        reinterpret_cast<const void*>(SetRenderCallBack),
        reinterpret_cast<const void*>(UnProject),
        reinterpret_cast<const void*>(DestroyPanoRender),
        reinterpret_cast<const void*>(CalcViewCamera),
        reinterpret_cast<const void*>(GetCameraParameters),
    };
    int count = 0;
    for (const void* entry : entries) {
        count += entry != nullptr ? 1 : 0;
    }
    return count;
}
