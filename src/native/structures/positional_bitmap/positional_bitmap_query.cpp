// Queries of PositionalBitmap. Each tests candidate places: a place matches
// the ids in the intersection of a few cells (marks and byte cells), and the
// answer is the union over the places.
#include <algorithm>

#include "native/structures/positional_bitmap/positional_bitmap.h"

namespace vantorel {

namespace {

// How many of the smallest cells are put first. Once they are intersected the
// running set is small, and the order of the rest hardly matters; not sorting
// them keeps a long string's match linear.
constexpr size_t kOrderedCells = 8;

// out = intersection of `cells`, smallest first, stopping once it is empty.
// Reorders `cells`. Returns whether out is non-empty.
bool intersect_cells(std::vector<std::pair<uint64_t, const HybridSet*>>& cells, Bitmap& out) {
  auto ordered = cells.begin() + std::min(cells.size(), kOrderedCells);
  std::partial_sort(cells.begin(), ordered, cells.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  out.clear();
  cells.front().second->add_to(out);
  for (size_t i = 1; i < cells.size() && !out.empty(); ++i) cells[i].second->intersect_into(out);
  return !out.empty();
}

}  // namespace

bool PositionalBitmap::add_cell(size_t position, uint16_t key, CellList& cells) const {
  const HybridSet* ids = positions_[position].find(key);
  if (ids == nullptr) return false;
  cells.emplace_back(ids->size(), ids);
  return true;
}

bool PositionalBitmap::add_byte_cells(size_t first, std::string_view bytes, CellList& cells) const {
  for (size_t k = 0; k < bytes.size(); ++k) {
    if (!add_cell(first + k, static_cast<unsigned char>(bytes[k]), cells)) return false;
  }
  return true;
}

template <class Gather>
Bitmap PositionalBitmap::union_of_places(size_t first, size_t last, Gather&& gather) const {
  Bitmap result;
  Bitmap scratch;
  CellList cells;
  for (size_t place = first; place <= last; ++place) {
    cells.clear();
    if (gather(place, cells) && intersect_cells(cells, scratch)) result |= scratch;
  }
  return result;
}

Bitmap PositionalBitmap::starts_with(std::string_view pattern) const {
  if (pattern.empty()) return all();
  const size_t count = positions_.size();
  if (pattern.size() > count) return Bitmap();
  // Every string starts before the centre, at position count / 2 - 1 at most.
  return union_of_places(
      0, std::min(count / 2 - 1, count - pattern.size()), [&](size_t start, CellList& cells) {
        return add_cell(start, kStartMark, cells) && add_byte_cells(start, pattern, cells);
      });
}

Bitmap PositionalBitmap::ends_with(std::string_view pattern) const {
  if (pattern.empty()) return all();
  const size_t count = positions_.size();
  if (pattern.size() > count) return Bitmap();
  // Every string ends at the centre's left neighbour, count / 2 - 1, or later.
  return union_of_places(std::max(count / 2 - 1, pattern.size() - 1), count - 1,
                         [&](size_t end, CellList& cells) {
                           return add_cell(end, kEndMark, cells) &&
                                  add_byte_cells(end + 1 - pattern.size(), pattern, cells);
                         });
}

Bitmap PositionalBitmap::contains(std::string_view pattern) const {
  if (pattern.empty()) return all();
  const size_t count = positions_.size();
  if (pattern.size() > count) return Bitmap();
  return union_of_places(0, count - pattern.size(), [&](size_t start, CellList& cells) {
    return add_byte_cells(start, pattern, cells);
  });
}

}  // namespace vantorel
