#include "platform/profile.h"

#include <ini.h>

#include <strings.h>
#include <cctype>
#include <cstring>
#include <limits>

#include "base/hfile.h"

namespace {

struct ProfileQuery {
    const char* section;
    const char* key;
    const char* value = nullptr;  // points into a copy held by `storage`
    char storage[256] = {};
    bool found = false;
};

int OnProfileEntry(void* user, const char* section, const char* name, const char* value) {
    auto* query = static_cast<ProfileQuery*>(user);
    if (query->found || section == nullptr || name == nullptr || value == nullptr) {
        return 1;
    }
    if (strcasecmp(section, query->section) != 0 || strcasecmp(name, query->key) != 0) {
        return 1;
    }
    // inih reuses its line buffer after the handler returns; only the leading number matters,
    // so a bounded copy is enough.
    std::strncpy(query->storage, value, sizeof(query->storage) - 1);
    query->value = query->storage;
    query->found = true;
    return 1;
}

bool ParseLeadingInt(const char* text, int32_t* out) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    // Accumulate in 64 bits and stop growing once past the int32 range: a huge value saturates
    // instead of wrapping into something unrelated.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (negative) {
        *out = magnitude >= kLimit ? std::numeric_limits<int32_t>::min()
                                   : static_cast<int32_t>(-magnitude);
    } else {
        *out = magnitude >= kLimit ? std::numeric_limits<int32_t>::max()
                                   : static_cast<int32_t>(magnitude);
    }
    return true;
}

}  // namespace

int32_t PlatformGetProfileInt(const char* section, const char* key, int32_t defaultValue,
                              const char* path) {
    if (section == nullptr || key == nullptr || path == nullptr || *path == '\0') {
        return defaultValue;
    }
    ProfileQuery query;
    query.section = section;
    query.key = key;
    // A parse error on some line does not stop inih; an unreadable file returns -1 and the
    // query stays unanswered.
    if (FILE* file = BRIXEL::HOpenRegularFile(path, "re")) {
        ini_parse_file(file, OnProfileEntry, &query);
        fclose(file);
    }
    int32_t result = defaultValue;
    if (query.found && ParseLeadingInt(query.value, &result)) {
        return result;
    }
    return defaultValue;
}
