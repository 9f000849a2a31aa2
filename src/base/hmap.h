#pragma once
// Chained hash map with a fixed bucket count; the bucket array is allocated on the first
// insertion. The hash of a key is its low 32 bits shifted right by 4, modulo the bucket count.

#include <cstdint>
#include <memory>
#include <type_traits>

namespace BRIXEL {

// Iteration position; HBEFORE_START_POSITION means "before the first element".
using HPOSITION = void*;
inline HPOSITION const HBEFORE_START_POSITION =
    reinterpret_cast<HPOSITION>(static_cast<intptr_t>(-1));

template <typename K>
inline uint32_t HHashKey(const K& key) {
    if constexpr (std::is_pointer_v<K>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)) >> 4;
    } else if constexpr (std::is_enum_v<K>) {
        return static_cast<uint32_t>(static_cast<uint64_t>(key)) >> 4;
    } else {
        static_assert(std::is_integral_v<K>, "CHMap keys are integers, enums or pointers");
        return static_cast<uint32_t>(static_cast<uint64_t>(key)) >> 4;
    }
}

template <typename K, typename AK, typename V, typename AV>
class CHMap {
public:
    explicit CHMap(uint32_t bucketCount = 17) : m_bucketCount(bucketCount ? bucketCount : 17) {}
    virtual ~CHMap() { RemoveAll(); }
    CHMap(const CHMap&) = delete;
    CHMap& operator=(const CHMap&) = delete;

    bool Lookup(AK key, V& value) const {
        const Assoc* a = Find(key);
        if (!a)
            return false;
        value = a->value;
        return true;
    }

    // Inserts an element with a zero value when the key is absent.
    V& operator[](AK key) {
        if (Assoc* a = Find(key))
            return a->value;
        const uint32_t bucket = HHashKey<K>(key) % m_bucketCount;
        if (!m_buckets) {
            m_buckets = std::make_unique<Assoc*[]>(m_bucketCount);  // zero-filled
        }
        auto* a = new Assoc{m_buckets[bucket], bucket, K(key), V{}};
        m_buckets[bucket] = a;
        ++m_count;
        return a->value;
    }

    void SetAt(AK key, AV value) { (*this)[key] = value; }

    bool RemoveKey(AK key) {
        if (!m_buckets)
            return false;
        const uint32_t bucket = HHashKey<K>(key) % m_bucketCount;
        for (Assoc** link = &m_buckets[bucket]; *link; link = &(*link)->next) {
            if ((*link)->key == key) {
                Assoc* gone = *link;
                *link = gone->next;
                delete gone;
                --m_count;
                return true;
            }
        }
        return false;
    }

    void RemoveAll() {
        if (m_buckets) {
            for (uint32_t i = 0; i < m_bucketCount; ++i) {
                for (Assoc* a = m_buckets[i]; a;) {
                    Assoc* next = a->next;
                    delete a;
                    a = next;
                }
            }
            m_buckets.reset();
        }
        m_count = 0;
    }

    uint32_t GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }
    uint32_t GetBucketCount() const { return m_bucketCount; }

    HPOSITION GetStartPosition() const { return m_count ? HBEFORE_START_POSITION : nullptr; }

    // Calls fn(value) for every element, in iteration order. The caller holds whatever lock
    // guards the map.
    template <class Fn>
    void ForEachValue(Fn&& fn) const {
        HPOSITION pos = GetStartPosition();
        while (pos) {
            K key{};
            V value{};
            GetNextAssoc(pos, key, value);
            fn(value);
        }
    }

    // Yields the element after position and moves position on (null after the last one).
    void GetNextAssoc(HPOSITION& position, K& key, V& value) const {
        const Assoc* a = nullptr;
        if (position == HBEFORE_START_POSITION) {
            a = FirstFrom(0);
        } else {
            a = static_cast<const Assoc*>(position);
        }
        if (!a) {
            position = nullptr;
            return;
        }
        key = a->key;
        value = a->value;
        const Assoc* next = a->next ? a->next : FirstFrom(a->bucket + 1);
        position = const_cast<Assoc*>(next);
    }

private:
    struct Assoc {
        Assoc* next;
        uint32_t bucket;
        K key;
        V value;
    };

    Assoc* Find(AK key) const {
        if (!m_buckets)
            return nullptr;
        for (Assoc* a = m_buckets[HHashKey<K>(key) % m_bucketCount]; a; a = a->next) {
            if (a->key == key)
                return a;
        }
        return nullptr;
    }

    const Assoc* FirstFrom(uint32_t bucket) const {
        if (!m_buckets)
            return nullptr;
        for (uint32_t i = bucket; i < m_bucketCount; ++i) {
            if (m_buckets[i])
                return m_buckets[i];
        }
        return nullptr;
    }

    std::unique_ptr<Assoc*[]> m_buckets;
    uint32_t m_bucketCount;
    uint32_t m_count = 0;
};

class CHMapPtrToPtr : public CHMap<void*, void*, void*, void*> {
public:
    explicit CHMapPtrToPtr(uint32_t bucketCount = 17) : CHMap(bucketCount) {}
};

}  // namespace BRIXEL
