// A hash set kept in two arrays: the keys in the order they went in, and a table of places in
// that array with open addressing. Against a node-based set it makes no allocation per key, so
// sets of hundreds of thousands of keys are filled, read and freed in a fraction of the time;
// keys cannot be removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cumulo::server {

template <typename Key, typename Hash>
class FlatSet {
public:
    using const_iterator = typename std::vector<Key>::const_iterator;

    // Whether the key was new.
    bool insert(Key key)
    {
        if ((keys_.size() + 1) * 2 > places_.size())
            grow();
        std::size_t slot = find_slot(key);
        if (places_[slot] != 0)
            return false;
        keys_.push_back(std::move(key));
        places_[slot] = static_cast<std::uint32_t>(keys_.size());
        return true;
    }
    template <typename Iterator> void insert(Iterator first, Iterator last)
    {
        for (; first != last; ++first)
            insert(*first);
    }
    bool contains(const Key& key) const { return !places_.empty() && places_[find_slot(key)] != 0; }

    std::size_t size() const { return keys_.size(); }
    bool empty() const { return keys_.empty(); }
    const_iterator begin() const { return keys_.begin(); }
    const_iterator end() const { return keys_.end(); }

private:
    // The key's slot, or the empty slot where it would go. The hash is spread over the whole
    // word first (Fibonacci hashing): hashes of neighbouring ids must not crowd one run of slots.
    std::size_t find_slot(const Key& key) const
    {
        std::size_t mask = places_.size() - 1;
        std::size_t slot = (static_cast<std::uint64_t>(Hash()(key)) * 0x9E3779B97F4A7C15ull) >> shift_;
        while (places_[slot] != 0 && !(keys_[places_[slot] - 1] == key))
            slot = (slot + 1) & mask;
        return slot;
    }
    void grow()
    {
        std::size_t slots = places_.empty() ? 16 : places_.size() * 2;
        places_.assign(slots, 0);
        shift_ = 64;
        for (std::size_t s = slots; s > 1; s >>= 1)
            --shift_;
        for (std::size_t place = 0; place < keys_.size(); ++place)
            places_[find_slot(keys_[place])] = static_cast<std::uint32_t>(place + 1);
    }

    std::vector<Key> keys_;
    std::vector<std::uint32_t> places_;  // a power of two of them; 0: empty, else place + 1
    unsigned shift_ = 64;
};

}  // namespace cumulo::server
