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
bool intersect_cells(std::vector<std::pair<uint64_t, const IdSlot*>>& cells, Bitmap& out) {
  auto ordered = cells.begin() + std::min(cells.size(), kOrderedCells);
  std::partial_sort(cells.begin(), ordered, cells.end(),
                    [](const auto& a, const auto& b) { return a.first < b.first; });
  cells.front().second->copy_into(out);
  for (size_t i = 1; i < cells.size() && !out.empty(); ++i) cells[i].second->intersect_into(out);
  return !out.empty();
}

}  // namespace

bool PositionalBitmap::add_cell(size_t position, uint16_t key, CellList& cells) const {
  const IdSlot* ids = positions_[position].find(key);
  if (ids == nullptr) return false;
  cells.emplace_back(ids->cardinality(), ids);
  return true;
}

bool PositionalBitmap::add_byte_cells(size_t first, std::string_view bytes, CellList& cells) const {
  for (size_t k = 0; k < bytes.size(); ++k) {
    if (!add_cell(first + k, static_cast<unsigned char>(bytes[k]), cells)) return false;
  }
  return true;
}

Bitmap PositionalBitmap::starts_with(std::string_view pattern) const {
  if (pattern.empty()) return all();
  Bitmap result;
  size_t count = positions_.size();
  if (pattern.size() > count) return result;
  // Every string starts before the centre, at position count / 2 - 1 at most.
  size_t last_start = std::min(count / 2 - 1, count - pattern.size());
  Bitmap scratch;
  CellList cells;
  for (size_t m = 0; m <= last_start; ++m) {
    cells.clear();
    if (add_cell(m, kStartMark, cells) && add_byte_cells(m, pattern, cells) &&
        intersect_cells(cells, scratch)) {
      result |= scratch;
    }
  }
  return result;
}

Bitmap PositionalBitmap::ends_with(std::string_view pattern) const {
  if (pattern.empty()) return all();
  Bitmap result;
  size_t count = positions_.size();
  if (pattern.size() > count) return result;
  // Every string ends at the centre's left neighbour, count / 2 - 1, or later.
  size_t first_end = std::max(count / 2 - 1, pattern.size() - 1);
  Bitmap scratch;
  CellList cells;
  for (size_t e = first_end; e < count; ++e) {
    cells.clear();
    if (add_cell(e, kEndMark, cells) && add_byte_cells(e + 1 - pattern.size(), pattern, cells) &&
        intersect_cells(cells, scratch)) {
      result |= scratch;
    }
  }
  return result;
}

Bitmap PositionalBitmap::contains(std::string_view pattern) const {
  if (pattern.empty()) return all();
  Bitmap result;
  size_t count = positions_.size();
  if (pattern.size() > count) return result;
  Bitmap scratch;
  CellList cells;
  for (size_t m = 0; m + pattern.size() <= count; ++m) {
    cells.clear();
    if (add_byte_cells(m, pattern, cells) && intersect_cells(cells, scratch)) result |= scratch;
  }
  return result;
}

}  // namespace vantorel
