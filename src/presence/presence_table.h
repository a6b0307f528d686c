// Storage for the tracker's many small records: fixed chunks, so that growing never copies
// them nor holds an old and a new array at once, and a hash table of 32-bit indices into them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace presence {

inline constexpr uint32_t kNoIndex = UINT32_MAX;

// An array that grows by chunks of 2^kChunkBits elements; an element never moves.
template <typename T, unsigned kChunkBits> class Chunked {
  public:
    T &operator[](uint32_t i) { return chunks_[i >> kChunkBits][i & kMask]; }
    const T &operator[](uint32_t i) const { return chunks_[i >> kChunkBits][i & kMask]; }
    // Makes room for element i, at most one past the room there is.
    void reserveFor(uint32_t i) {
        if (i >= chunks_.size() << kChunkBits) {
            chunks_.push_back(std::make_unique<T[]>(kChunk));
        }
    }

  private:
    static constexpr uint32_t kChunk = uint32_t{1} << kChunkBits;
    static constexpr uint32_t kMask = kChunk - 1;
    std::vector<std::unique_ptr<T[]>> chunks_;
};

// Chunked elements with a list of the free ones, linked through T::freeLink(element). A free
// element is T{} but for that link.
template <typename T, unsigned kChunkBits> class Pool {
  public:
    T &operator[](uint32_t i) { return items_[i]; }
    const T &operator[](uint32_t i) const { return items_[i]; }
    uint32_t used() const { return used_; } // the elements below are or were in use

    // Returns the index of a fresh T{}.
    uint32_t add() {
        uint32_t i = free_;
        if (i != kNoIndex) {
            free_ = T::freeLink(items_[i]);
        } else {
            items_.reserveFor(used_);
            i = used_++;
        }
        items_[i] = T{};
        return i;
    }
    void remove(uint32_t i) {
        items_[i] = T{};
        T::freeLink(items_[i]) = free_;
        free_ = i;
    }

  private:
    Chunked<T, kChunkBits> items_;
    uint32_t used_ = 0;
    uint32_t free_ = kNoIndex;
};

// Indices into the caller's storage by a 48-bit MAC the caller keeps with each one, which
// keyOf(index) gives back: open addressing with linear probing, at most half full so that a
// lookup reads a slot or two, and halved when under an eighth full so that a flood of
// addresses gone leaves no big table behind. A slot keeps a few bits of its key's hash beside
// the index, so that a lookup reads the caller's storage (which is seldom in the cache) only
// for a key that may be the one.
class IndexTable {
  public:
    // Indices are below this: a slot's low bits, its tag above them.
    static constexpr unsigned kIndexBits = 27;
    static constexpr uint32_t kIndices = (uint32_t{1} << kIndexBits) - 1;

    // The index kept for key, or kNoIndex.
    template <typename KeyOf> uint32_t find(uint64_t key, const KeyOf &keyOf) const {
        if (slots_.empty()) {
            return kNoIndex;
        }
        const uint32_t tag = tagOf(key);
        for (std::size_t i = home(key);; i = next(i)) {
            const uint32_t at = slots_[i];
            if (at == kEmpty) {
                return kNoIndex;
            }
            if ((at & ~kIndexMask) == tag && keyOf(at & kIndexMask) == key) {
                return at & kIndexMask;
            }
        }
    }
    // Asks for the cache line where a lookup of key starts.
    void prefetch(uint64_t key) const {
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[home(key)]);
        }
    }
    // The first index a lookup of key would read the caller's storage at, or kNoIndex.
    uint32_t first(uint64_t key) const {
        if (slots_.empty()) {
            return kNoIndex;
        }
        const uint32_t tag = tagOf(key);
        for (std::size_t i = home(key);; i = next(i)) {
            const uint32_t at = slots_[i];
            if (at == kEmpty || (at & ~kIndexMask) == tag) {
                return at == kEmpty ? kNoIndex : at & kIndexMask;
            }
        }
    }
    // Adds key, which is not there yet, with an index below kIndices.
    template <typename KeyOf> void insert(uint64_t key, uint32_t index, const KeyOf &keyOf) {
        if (2 * (count_ + 1) > slots_.size()) {
            resize(std::max(kMinSlots, 2 * slots_.size()), keyOf);
        }
        place(key, index);
        ++count_;
    }
    // Removes key, which is there.
    template <typename KeyOf> void erase(uint64_t key, const KeyOf &keyOf) {
        const uint32_t tag = tagOf(key);
        std::size_t gap = home(key);
        while ((slots_[gap] & ~kIndexMask) != tag || keyOf(slots_[gap] & kIndexMask) != key) {
            gap = next(gap);
        }
        // The entries after it in its run move up into the gap when their home allows, so
        // that no lookup stops at the hole before reaching them.
        for (std::size_t i = next(gap); slots_[i] != kEmpty; i = next(i)) {
            const std::size_t mask = slots_.size() - 1;
            if (((i - home(keyOf(slots_[i] & kIndexMask))) & mask) >= ((i - gap) & mask)) {
                slots_[gap] = slots_[i];
                gap = i;
            }
        }
        slots_[gap] = kEmpty;
        --count_;
        if (slots_.size() > kMinSlots && 8 * count_ < slots_.size()) {
            resize(slots_.size() / 2, keyOf);
        }
    }
    std::size_t size() const { return count_; }
    std::size_t slots() const { return slots_.size(); }

  private:
    static constexpr std::size_t kMinSlots = 64;
    static constexpr uint32_t kIndexMask = kIndices;
    static constexpr uint32_t kEmpty = UINT32_MAX; // a tag with the index kIndices

    static uint64_t hash(uint64_t key) { return key * 0x9E3779B97F4A7C15u; }
    // Fibonacci hashing: sequential addresses (a vendor's block, pseudonyms) spread too. The
    // home is the hash's top bits (at most 28 of them), the tag five bits below those.
    std::size_t home(uint64_t key) const { return static_cast<std::size_t>(hash(key) >> shift_); }
    static uint32_t tagOf(uint64_t key) {
        return static_cast<uint32_t>(hash(key) >> kIndexBits & 0x1F) << kIndexBits;
    }
    std::size_t next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }
    void place(uint64_t key, uint32_t index) {
        std::size_t i = home(key);
        while (slots_[i] != kEmpty) {
            i = next(i);
        }
        slots_[i] = tagOf(key) | index;
    }
    template <typename KeyOf> void resize(std::size_t slots, const KeyOf &keyOf) {
        std::vector<uint32_t> old(slots, kEmpty);
        old.swap(slots_);
        shift_ = 64;
        for (std::size_t n = slots; n > 1; n /= 2) {
            --shift_;
        }
        for (uint32_t at : old) {
            if (at != kEmpty) {
                place(keyOf(at & kIndexMask), at & kIndexMask);
            }
        }
    }

    std::vector<uint32_t> slots_; // a power of two of them
    std::size_t count_ = 0;
    unsigned shift_ = 64;
};

// Deadlines, the earliest first: a heap of four children a node (half the levels of a binary
// one, for a comparison more a level among entries side by side), each entry a client's.
// placed(client, at) hears of every entry's new place, for remove(at).
class DueHeap {
  public:
#pragma pack(push, 4)
    struct Due { // 12 bytes
        int64_t deadline;
        uint32_t client;
    };
#pragma pack(pop)
    static constexpr auto kNoPlace = [](uint32_t, uint32_t) {};

    bool empty() const {
        return count_ == 0;
    }
    const Due &earliest() const {
        return items_[kRoot];
    }
    int64_t deadlineAt(uint32_t at) const {
        return items_[at].deadline;
    }

    template <typename Placed> void push(Due d, const Placed &placed) {
        items_.reserveFor(kRoot + count_);
        siftUp(kRoot + count_++, d, placed, kRoot);
    }
    // The earliest entry put off to a later deadline.
    template <typename Placed> void putOff(int64_t deadline, const Placed &placed) {
        siftDown(kRoot, Due{deadline, items_[kRoot].client}, placed, kRoot);
    }
    template <typename Placed> void removeEarliest(const Placed &placed) {
        remove(kRoot, placed);
    }
    template <typename Placed> void remove(uint32_t at, const Placed &placed) {
        const Due last = items_[kRoot + --count_];
        if (at < kRoot + count_) {
            siftDown(at, last, placed, kRoot); // and up again, past `at` if it belongs there
        }
    }
    // Every deadline set anew, by deadline(client).
    template <typename Deadline, typename Placed>
    void reset(const Deadline &deadline, const Placed &placed) {
        for (uint32_t at = kRoot; at < kRoot + count_; ++at) {
            items_[at].deadline = deadline(items_[at].client);
        }
        // From the last parent up, each one's subtrees already heaps.
        for (uint32_t at = count_ > 1 ? parent(kRoot + count_ - 1) + 1 : kRoot; at-- > kRoot;) {
            siftDown(at, items_[at], placed, at);
        }
    }

  private:
    // The root's place, so that the four children of `at` are in one chunk.
    static constexpr uint32_t kRoot = 3;
    static uint64_t firstChild(uint32_t at) {
        return 4 * (uint64_t{at} - kRoot) + 4;
    }
    static uint32_t parent(uint32_t at) {
        return at / 4 + 2;
    }

    template <typename Placed> void place(uint32_t at, const Due &d, const Placed &placed) {
        items_[at] = d;
        placed(d.client, at);
    }
    // Up to `top` at most.
    template <typename Placed> void siftUp(uint32_t at, Due d, const Placed &placed, uint32_t top) {
        while (at > top && d.deadline < items_[parent(at)].deadline) {
            place(at, items_[parent(at)], placed);
            at = parent(at);
        }
        place(at, d, placed);
    }
    // Down to a leaf along the earliest children, then up to where d belongs, `top` at most: a
    // deadline put off by a grace is among the latest, so this saves a comparison a level.
    template <typename Placed>
    void siftDown(uint32_t at, Due d, const Placed &placed, uint32_t top) {
        const uint64_t end = uint64_t{kRoot} + count_;
        Due *hole = &items_[at];
        for (uint64_t first = firstChild(at); first < end; first = firstChild(at)) {
            Due *children = &items_[static_cast<uint32_t>(first)];
            uint32_t least = 0;
            if (first + 4 <= end) {
                const uint32_t a = children[1].deadline < children[0].deadline ? 1 : 0;
                const uint32_t b = children[3].deadline < children[2].deadline ? 3 : 2;
                least = children[b].deadline < children[a].deadline ? b : a;
            } else {
                for (uint32_t i = 1; first + i < end; ++i) {
                    least = children[i].deadline < children[least].deadline ? i : least;
                }
            }
            *hole = children[least];
            placed(hole->client, at);
            hole = &children[least];
            at = static_cast<uint32_t>(first) + least;
        }
        siftUp(at, d, placed, top);
    }

    Chunked<Due, 12> items_;
    uint32_t count_ = 0;
};

} // namespace presence
