// ChunkedMap: an ordered map kept as a list of short sorted arrays.
//
// Each chunk holds up to kChunk entries in order, and the chunks follow one
// another in order. A chunk is one allocation of fixed size that keeps its
// keys in one array and its values in another, so a small key next to a
// small value pays no padding, and a search within a chunk reads only keys.
// A lookup binary-searches the chunks' first keys (kept together in one
// array, so the search does not visit every chunk) and then one chunk; a
// walk over a range reads the entries of each chunk one after the other.
// Compared with a node-based tree this keeps neighbours in neighbouring
// memory, which is what range walks need, at the cost of moving up to
// kChunk entries on an insertion. A full chunk is split in two.
//
// Keys are ordered by operator<, or, for the calls that take one, by an
// order the caller gives that may look at the values too (a key that is
// only a prefix of what orders an entry, completed by the value). Keys are
// small and trivially copyable; values are default-constructible and
// movable. Iterators step both ways and are invalidated by every insertion
// and by retain_if().
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace vantorel {

template <class Key, class Value>
class ChunkedMap {
  struct Chunk;
  using Chunks = std::vector<Chunk>;

 public:
  using key_type = Key;

  static constexpr size_t kChunk = 64;
  // insert_sorted merges when the batch is at least 1/kMergeRatio of the map,
  // into chunks of kMergeFill entries (retain_if refills them so too): the
  // room left lets a few later insertions into each chunk go by without a
  // split, which would leave two half-empty chunks and shift the chunk
  // directory.
  static constexpr size_t kMergeRatio = 16;
  static constexpr size_t kMergeFill = kChunk - kChunk / 8;

  class const_iterator {
   public:
    const Key& key() const { return chunk().keys()[slot_]; }
    const Value& value() const { return chunk().values()[slot_]; }
    const_iterator& operator++() {
      if (++slot_ == chunk().size) {
        ++chunk_;
        slot_ = 0;
      }
      return *this;
    }
    // Steps back one entry; the caller never steps back from begin().
    const_iterator& operator--() {
      if (slot_ == 0) {
        --chunk_;
        slot_ = (*chunks_)[chunk_].size;
      }
      --slot_;
      return *this;
    }
    bool operator==(const const_iterator& other) const {
      return chunk_ == other.chunk_ && slot_ == other.slot_;
    }

   private:
    friend class ChunkedMap;
    const_iterator(const Chunks* chunks, size_t chunk, size_t slot)
        : chunks_(chunks), chunk_(chunk), slot_(slot) {}
    const Chunk& chunk() const { return (*chunks_)[chunk_]; }
    const Chunks* chunks_;
    size_t chunk_;
    size_t slot_;
  };

  // Mutable access to the values goes through the same position type.
  class iterator : public const_iterator {
   public:
    Value& value() const { return const_cast<Value&>(const_iterator::value()); }

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

  // Calls visit(keys, values), two spans over the entries of one chunk, for
  // every chunk in order, or in reverse order with `descending`, until it
  // returns false.
  template <class Visit>
  void walk_chunks(bool descending, Visit&& visit) const {
    for (size_t k = 0; k < chunks_.size(); ++k) {
      const Chunk& chunk = chunks_[descending ? chunks_.size() - 1 - k : k];
      if (!visit(std::span<const Key>(chunk.keys(), chunk.size),
                 std::span<const Value>(chunk.values(), chunk.size))) {
        return;
      }
    }
  }

  // The first entry for which before(key, value) is false. `before` is true
  // for every entry up to some point and false from there on.
  template <class Before>
  const_iterator partition_point(Before&& before) const {
    // The last chunk whose first entry is before the point holds it, or the
    // point is its end.
    size_t low = 0;
    size_t count = firsts_.size();
    while (count > 0) {
      const size_t half = count / 2;
      if (before(firsts_[low + half], chunks_[low + half].values()[0])) {
        low += half + 1;
        count -= half + 1;
      } else {
        count = half;
      }
    }
    if (low == 0) return begin();
    const Chunk& chunk = chunks_[low - 1];
    size_t slot = 0;
    for (count = chunk.size; count > 0;) {
      const size_t half = count / 2;
      if (before(chunk.keys()[slot + half], chunk.values()[slot + half])) {
        slot += half + 1;
        count -= half + 1;
      } else {
        count = half;
      }
    }
    return at(low - 1, slot);
  }

  // The first entry whose key is not less than `key`.
  const_iterator lower_bound(const Key& key) const {
    return partition_point([&](const Key& k, const Value&) { return k < key; });
  }

  const_iterator find(const Key& key) const {
    const_iterator found = lower_bound(key);
    return found != end() && !(key < found.key()) ? found : end();
  }

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
    std::array<Search, kLockstep> in_firsts;
    for (size_t i = 0; i < count; ++i) in_firsts[i] = {firsts_.data(), firsts_.size()};
    lower_bounds_in_lockstep(std::span(in_firsts.data(), count), keys);
    std::array<Search, kLockstep> in_chunks;
    std::array<size_t, kLockstep> chunk_of;
    for (size_t i = 0; i < count; ++i) {
      const size_t first = static_cast<size_t>(in_firsts[i].base - firsts_.data());
      chunk_of[i] = first == 0 ? 0 : first - 1;
      // Before every chunk's first key: the bound is begin().
      in_chunks[i] = first == 0 ? Search{nullptr, 0}
                                : Search{chunks_[first - 1].keys(), chunks_[first - 1].size};
    }
    lower_bounds_in_lockstep(std::span(in_chunks.data(), count), keys);
    for (size_t i = 0; i < count; ++i) {
      if (in_chunks[i].base == nullptr) {
        visit(i, begin());
        continue;
      }
      const Key* chunk = chunks_[chunk_of[i]].keys();
      visit(i, iterator(at(chunk_of[i], static_cast<size_t>(in_chunks[i].base - chunk))));
    }
  }

  // Inserts (key, value) unless the key is present; returns its position.
  std::pair<iterator, bool> emplace(const Key& key, Value value) {
    const_iterator position = lower_bound(key);
    if (position != end() && !(key < position.key())) return {iterator(position), false};
    return {insert(position, key, std::move(value)), true};
  }

  // Inserts (key, value) at `position`, which the caller found to be its
  // place in the order; returns the new entry's position.
  iterator insert(const_iterator position, const Key& key, Value value) {
    if (chunks_.empty()) {
      chunks_.emplace_back();
      firsts_.push_back(key);
    }
    size_t chunk = position.chunk_;
    size_t slot = position.slot_;
    if (chunk == chunks_.size()) {  // past the end: append to the last chunk
      chunk = chunks_.size() - 1;
      slot = chunks_[chunk].size;
    }
    if (chunks_[chunk].size == kChunk) {
      split(chunk);
      if (slot > kChunk / 2) {
        ++chunk;
        slot -= kChunk / 2;
      }
    }
    Chunk& target = chunks_[chunk];
    std::move_backward(target.keys() + slot, target.keys() + target.size,
                       target.keys() + target.size + 1);
    std::move_backward(target.values() + slot, target.values() + target.size,
                       target.values() + target.size + 1);
    target.keys()[slot] = key;
    target.values()[slot] = std::move(value);
    ++target.size;
    if (slot == 0) firsts_[chunk] = key;
    ++size_;
    return iterator(const_iterator(&chunks_, chunk, slot));
  }

  // Inserts `entries`, which are in order and all absent from the map, the
  // order being less(key, value, other_key, other_value). A batch that is
  // small next to the map goes in entry by entry; a larger one is merged
  // with the map in one pass that refills the chunks to kMergeFill entries,
  // which costs a copy of the map but no search and no split per entry.
  template <class Less>
  void insert_sorted(std::vector<std::pair<Key, Value>>&& entries, Less&& less) {
    if (entries.size() * kMergeRatio < size_) {
      for (std::pair<Key, Value>& entry : entries) {
        const_iterator position = partition_point([&](const Key& key, const Value& value) {
          return less(key, value, entry.first, entry.second);
        });
        insert(position, entry.first, std::move(entry.second));
      }
      return;
    }
    Refill refill(size_ + entries.size());
    auto next = entries.begin();
    for (Chunk& chunk : chunks_) {
      for (size_t slot = 0; slot < chunk.size; ++slot) {
        while (next != entries.end() &&
               less(next->first, next->second, chunk.keys()[slot], chunk.values()[slot])) {
          refill.emit(next->first, std::move(next->second));
          ++next;
        }
        refill.emit(chunk.keys()[slot], std::move(chunk.values()[slot]));
      }
    }
    for (; next != entries.end(); ++next) refill.emit(next->first, std::move(next->second));
    take(refill);
  }
  void insert_sorted(std::vector<std::pair<Key, Value>>&& entries) {
    insert_sorted(std::move(entries),
                  [](const Key& a, const Value&, const Key& b, const Value&) { return a < b; });
  }

  // Keeps the entries for which keep(key, value) is true, in one pass that
  // refills the chunks to kMergeFill entries.
  template <class Keep>
  void retain_if(Keep&& keep) {
    Refill refill(size_);
    for (Chunk& chunk : chunks_) {
      for (size_t slot = 0; slot < chunk.size; ++slot) {
        if (keep(std::as_const(chunk.keys()[slot]), std::as_const(chunk.values()[slot]))) {
          refill.emit(chunk.keys()[slot], std::move(chunk.values()[slot]));
        }
      }
    }
    take(refill);
  }

  // Approximate heap bytes: the chunks (with the allocator's header) and
  // the directory.
  size_t memory_bytes() const {
    return chunks_.size() * (sizeof(typename Chunk::Arrays) + 2 * sizeof(void*)) +
           chunks_.capacity() * sizeof(Chunk) + firsts_.capacity() * sizeof(Key);
  }

 private:
  // A chunk: the arrays of its entries' keys and values, in one allocation
  // of fixed size, and how many entries it holds, kept in the directory so
  // that a search within the chunk reads no line of it but keys.
  struct Chunk {
    struct Arrays {
      std::array<Key, kChunk> keys{};
      std::array<Value, kChunk> values{};
    };
    Key* keys() const { return arrays->keys.data(); }
    Value* values() const { return arrays->values.data(); }

    std::unique_ptr<Arrays> arrays = std::make_unique<Arrays>();
    size_t size = 0;
  };

  // Chunks filled in order to kMergeFill entries, for the passes that
  // rebuild the map.
  struct Refill {
    explicit Refill(size_t entries) {
      chunks.reserve(entries / kMergeFill + 1);
      firsts.reserve(chunks.capacity());
    }
    void emit(const Key& key, Value&& value) {
      if (chunks.empty() || chunks.back().size == kMergeFill) {
        chunks.emplace_back();
        firsts.push_back(key);
      }
      Chunk& chunk = chunks.back();
      chunk.keys()[chunk.size] = key;
      chunk.values()[chunk.size] = std::move(value);
      ++chunk.size;
      ++size;
    }
    Chunks chunks;
    std::vector<Key> firsts;
    size_t size = 0;
  };

  void take(Refill& refill) {
    chunks_ = std::move(refill.chunks);
    firsts_ = std::move(refill.firsts);
    size_ = refill.size;
  }

  // A position, normalised so that one past a chunk's last entry is the
  // first entry of the next chunk.
  const_iterator at(size_t chunk, size_t slot) const {
    if (chunk < chunks_.size() && slot == chunks_[chunk].size) return {&chunks_, chunk + 1, 0};
    return {&chunks_, chunk, slot};
  }

  // One binary search of lower_bounds(): `count` keys from `base`.
  struct Search {
    const Key* base;
    size_t count;
  };

  // Moves each search's `base` to the first of its keys that is not before
  // keys[i], or to the end of its keys. The searches go a step each at a
  // time, without branches on the keys.
  static void lower_bounds_in_lockstep(std::span<Search> searches, std::span<const Key> keys) {
    size_t longest = 0;
    for (const Search& search : searches) longest = std::max(longest, search.count);
    // Each round halves every range: `base` moves up when the middle key is
    // before the key.
    for (size_t left = longest; left > 1; left -= left / 2) {
      for (size_t i = 0; i < searches.size(); ++i) {
        Search& search = searches[i];
        if (search.count <= 1) continue;
        const size_t half = search.count / 2;
        search.base = search.base[half] < keys[i] ? search.base + half : search.base;
        search.count -= half;
      }
    }
    for (size_t i = 0; i < searches.size(); ++i) {
      Search& search = searches[i];
      if (search.count == 1 && *search.base < keys[i]) ++search.base;
    }
  }

  // Moves the upper half of a full chunk into a new chunk after it.
  void split(size_t chunk) {
    Chunk upper;
    Chunk& lower = chunks_[chunk];
    constexpr size_t kHalf = kChunk / 2;
    std::copy(lower.keys() + kHalf, lower.keys() + kChunk, upper.keys());
    std::move(lower.values() + kHalf, lower.values() + kChunk, upper.values());
    upper.size = kChunk - kHalf;
    lower.size = kHalf;
    firsts_.insert(firsts_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, upper.keys()[0]);
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
  }

  Chunks chunks_;
  std::vector<Key> firsts_;  // firsts_[c] is the first key of chunks_[c]
  size_t size_ = 0;
};

}  // namespace vantorel
