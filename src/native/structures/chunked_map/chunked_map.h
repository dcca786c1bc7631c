// ChunkedMap: an ordered map kept as a list of short sorted arrays.
//
// Each chunk holds up to kChunk entries in key order, and the chunks follow
// one another in key order. A lookup binary-searches the chunks' first keys
// (kept together in one array, so the search does not visit every chunk)
// and then one chunk; a walk over a key range reads the entries of each chunk
// one after the other. Compared with a node-based tree this keeps neighbours
// in neighbouring memory, which is what range walks need, at the cost of
// moving up to kChunk entries on an insertion or an erasure. A full chunk is
// split in two; an emptied chunk is dropped.
//
// The interface is the part of std::map that the value sets use; const
// iterators step both ways. Iterators are invalidated by every insertion and
// erasure.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace vantorel {

template <class Key, class Value>
class ChunkedMap {
 public:
  using key_type = Key;
  using mapped_type = Value;
  using value_type = std::pair<Key, Value>;

  static constexpr size_t kChunk = 64;
  // insert_sorted merges when the batch is at least 1/kMergeRatio of the map,
  // into chunks of kMergeFill entries: the room left lets a few later
  // insertions into each chunk go by without a split, which would leave two
  // half-empty chunks and shift the chunk directory.
  static constexpr size_t kMergeRatio = 16;
  static constexpr size_t kMergeFill = kChunk - kChunk / 8;

  class const_iterator {
   public:
    const value_type& operator*() const { return (*chunks_)[chunk_][slot_]; }
    const value_type* operator->() const { return &**this; }
    const_iterator& operator++() {
      if (++slot_ == (*chunks_)[chunk_].size()) {
        ++chunk_;
        slot_ = 0;
      }
      return *this;
    }
    // Steps back one entry; the caller never steps back from begin().
    const_iterator& operator--() {
      if (slot_ == 0) {
        --chunk_;
        slot_ = (*chunks_)[chunk_].size();
      }
      --slot_;
      return *this;
    }
    bool operator==(const const_iterator& other) const {
      return chunk_ == other.chunk_ && slot_ == other.slot_;
    }

   private:
    friend class ChunkedMap;
    const_iterator(const std::vector<std::vector<value_type>>* chunks, size_t chunk, size_t slot)
        : chunks_(chunks), chunk_(chunk), slot_(slot) {}
    const std::vector<std::vector<value_type>>* chunks_;
    size_t chunk_;
    size_t slot_;
  };

  // Mutable access goes through the same position type.
  class iterator : public const_iterator {
   public:
    value_type& operator*() const { return const_cast<value_type&>(const_iterator::operator*()); }
    value_type* operator->() const { return &**this; }
    iterator& operator++() {
      const_iterator::operator++();
      return *this;
    }

   private:
    friend class ChunkedMap;
    explicit iterator(const_iterator position) : const_iterator(position) {}
  };

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  const_iterator begin() const { return at(0, 0); }
  const_iterator end() const { return at(chunks_.size(), 0); }
  iterator begin() { return iterator(at(0, 0)); }
  iterator end() { return iterator(at(chunks_.size(), 0)); }

  // The first entry whose key is not less than (greater than) `key`.
  const_iterator lower_bound(const Key& key) const { return bound<false>(key); }
  const_iterator upper_bound(const Key& key) const { return bound<true>(key); }

  const_iterator find(const Key& key) const {
    const_iterator found = lower_bound(key);
    return found != end() && !(key < found->first) ? found : end();
  }
  iterator find(const Key& key) { return iterator(std::as_const(*this).find(key)); }

  // The most keys that lower_bounds() takes at once.
  static constexpr size_t kLockstep = 16;

  // Calls visit(i, lower_bound(keys[i])) for each of `keys` (at most
  // kLockstep), in order. The binary searches (over the chunks' first keys,
  // then within the chunks) go in lockstep, one step of every search at a
  // time and without branches, so that their cache misses overlap instead
  // of following one another.
  template <class Visit>
  void lower_bounds(std::span<const Key> keys, Visit&& visit) {
    const size_t count = keys.size();
    // First the chunk of each key: the last whose first key is before it.
    std::array<Search<Key>, kLockstep> in_firsts;
    for (size_t i = 0; i < count; ++i) in_firsts[i] = {firsts_.data(), firsts_.size()};
    lower_bounds_in_lockstep(std::span(in_firsts.data(), count), keys,
                             [](const Key& key) -> const Key& { return key; });
    std::array<Search<value_type>, kLockstep> in_chunks;
    std::array<size_t, kLockstep> chunk_of;
    for (size_t i = 0; i < count; ++i) {
      const size_t first = static_cast<size_t>(in_firsts[i].base - firsts_.data());
      chunk_of[i] = first == 0 ? 0 : first - 1;
      // Before every chunk's first key: the bound is begin().
      in_chunks[i] = first == 0
                         ? Search<value_type>{nullptr, 0}
                         : Search<value_type>{chunks_[first - 1].data(), chunks_[first - 1].size()};
    }
    lower_bounds_in_lockstep(std::span(in_chunks.data(), count), keys,
                             [](const value_type& entry) -> const Key& { return entry.first; });
    for (size_t i = 0; i < count; ++i) {
      if (in_chunks[i].base == nullptr) {
        visit(i, begin());
        continue;
      }
      const value_type* chunk = chunks_[chunk_of[i]].data();
      visit(i, iterator(at(chunk_of[i], static_cast<size_t>(in_chunks[i].base - chunk))));
    }
  }

  // Inserts (key, value) unless the key is present; returns its position.
  std::pair<iterator, bool> emplace(const Key& key, Value value) {
    const_iterator position = lower_bound(key);
    if (position != end() && !(key < position->first)) return {iterator(position), false};
    return {insert_at(position, key, std::move(value)), true};
  }

  Value& operator[](const Key& key) { return emplace(key, Value()).first->second; }

  // Inserts `entries`, which are sorted by key and whose keys are all absent
  // from the map. A batch that is small next to the map goes in entry by
  // entry; a larger one is merged with the map in one pass that refills the
  // chunks to kMergeFill entries, which costs a copy of the map but no search
  // and no split per entry.
  void insert_sorted(std::vector<value_type>&& entries) {
    if (entries.size() * kMergeRatio < size_) {
      for (value_type& entry : entries) {
        insert_at(lower_bound(entry.first), entry.first, std::move(entry.second));
      }
      return;
    }
    std::vector<std::vector<value_type>> merged;
    std::vector<Key> firsts;
    merged.reserve((size_ + entries.size()) / kMergeFill + 1);
    firsts.reserve(merged.capacity());
    auto emit = [&](value_type& entry) {
      if (merged.empty() || merged.back().size() == kMergeFill) {
        merged.emplace_back().reserve(kChunk);
        firsts.push_back(entry.first);
      }
      merged.back().push_back(std::move(entry));
    };
    auto next = entries.begin();
    for (std::vector<value_type>& chunk : chunks_) {
      for (value_type& entry : chunk) {
        while (next != entries.end() && next->first < entry.first) emit(*next++);
        emit(entry);
      }
    }
    while (next != entries.end()) emit(*next++);
    size_ += entries.size();
    chunks_ = std::move(merged);
    firsts_ = std::move(firsts);
  }

  // Erases the entry at `position`; returns the position of the next one.
  iterator erase(const_iterator position) {
    std::vector<value_type>& chunk = chunks_[position.chunk_];
    chunk.erase(chunk.begin() + static_cast<std::ptrdiff_t>(position.slot_));
    --size_;
    if (chunk.empty()) {
      chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(position.chunk_));
      firsts_.erase(firsts_.begin() + static_cast<std::ptrdiff_t>(position.chunk_));
      return iterator(at(position.chunk_, 0));
    }
    firsts_[position.chunk_] = chunk.front().first;
    return iterator(at(position.chunk_, position.slot_));
  }

 private:
  // A position, normalised so that one past a chunk's last entry is the
  // first entry of the next chunk.
  const_iterator at(size_t chunk, size_t slot) const {
    if (chunk < chunks_.size() && slot == chunks_[chunk].size()) return {&chunks_, chunk + 1, 0};
    return {&chunks_, chunk, slot};
  }

  // One binary search of lower_bounds(): `count` elements from `base`.
  template <class T>
  struct Search {
    const T* base;
    size_t count;
  };

  // Moves each search's `base` to the first of its elements whose key
  // (key_of) is not before keys[i], or to the end of its elements. The
  // searches go a step each at a time, without branches on the keys.
  template <class T, class KeyOf>
  static void lower_bounds_in_lockstep(std::span<Search<T>> searches, std::span<const Key> keys,
                                       KeyOf key_of) {
    size_t longest = 0;
    for (const Search<T>& search : searches) longest = std::max(longest, search.count);
    // Each round halves every range: `base` moves up when the middle
    // element is before the key.
    for (size_t left = longest; left > 1; left -= left / 2) {
      for (size_t i = 0; i < searches.size(); ++i) {
        Search<T>& search = searches[i];
        if (search.count <= 1) continue;
        const size_t half = search.count / 2;
        search.base = key_of(search.base[half]) < keys[i] ? search.base + half : search.base;
        search.count -= half;
      }
    }
    for (size_t i = 0; i < searches.size(); ++i) {
      Search<T>& search = searches[i];
      if (search.count == 1 && key_of(*search.base) < keys[i]) ++search.base;
    }
  }

  // The first entry not before `key` (after it, when kStrictlyGreater). A
  // template parameter, so that each search's comparison has no branch.
  template <bool kStrictlyGreater>
  const_iterator bound(const Key& key) const {
    auto key_before = [&](const Key& k) {
      if constexpr (kStrictlyGreater) {
        return !(key < k);
      } else {
        return k < key;
      }
    };
    auto before = [&](const value_type& entry) { return key_before(entry.first); };
    // The last chunk whose first entry is before the bound holds it, or the
    // bound is its end.
    auto first = std::partition_point(firsts_.begin(), firsts_.end(), key_before);
    if (first == firsts_.begin()) return begin();
    const size_t index = static_cast<size_t>(first - firsts_.begin()) - 1;
    const std::vector<value_type>& chunk = chunks_[index];
    auto slot = std::partition_point(chunk.begin(), chunk.end(), before);
    return at(index, static_cast<size_t>(slot - chunk.begin()));
  }

  iterator insert_at(const_iterator position, const Key& key, Value value) {
    if (chunks_.empty()) {
      chunks_.emplace_back();
      chunks_.back().reserve(kChunk);
      firsts_.push_back(key);
    }
    size_t chunk = position.chunk_;
    size_t slot = position.slot_;
    if (chunk == chunks_.size()) {  // past the end: append to the last chunk
      chunk = chunks_.size() - 1;
      slot = chunks_[chunk].size();
    }
    if (chunks_[chunk].size() == kChunk) {
      split(chunk);
      if (slot > kChunk / 2) {
        ++chunk;
        slot -= kChunk / 2;
      }
    }
    std::vector<value_type>& target = chunks_[chunk];
    target.insert(target.begin() + static_cast<std::ptrdiff_t>(slot),
                  value_type(key, std::move(value)));
    if (slot == 0) firsts_[chunk] = key;
    ++size_;
    return iterator(const_iterator(&chunks_, chunk, slot));
  }

  // Moves the upper half of a full chunk into a new chunk after it.
  void split(size_t chunk) {
    std::vector<value_type> upper;
    upper.reserve(kChunk);
    auto middle = chunks_[chunk].begin() + kChunk / 2;
    std::move(middle, chunks_[chunk].end(), std::back_inserter(upper));
    chunks_[chunk].erase(middle, chunks_[chunk].end());
    firsts_.insert(firsts_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, upper.front().first);
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
  }

  std::vector<std::vector<value_type>> chunks_;
  std::vector<Key> firsts_;  // firsts_[c] is the key of chunks_[c].front()
  size_t size_ = 0;
};

}  // namespace vantorel
