#include "core/query/direct_match.h"

#include <optional>
#include <set>
#include <type_traits>
#include <utility>

#include "native/structures/string_interner/string_interner.h"
#include "values/attribute_names.h"

namespace vantorel {

namespace {

// The walk from one object along a dotted path through the objects' stores:
// visit(leaf) sees every leaf value (elements of containers one by one) that
// the object holds at the path, until it returns true. Indexable values, in
// containers too, lead to the next name; names that nested cores do not
// index lead nowhere.
template <class Visit>
class PathWalk {
 public:
  explicit PathWalk(Visit& visit) : visit_(visit) {}

  // Whether visit returned true.
  bool object(const IndexableRecord& record, std::string_view path) {
    // An object reached again with the same rest of the path has had its
    // values visited already (and none ended the walk).
    if (!visited_.emplace(record.id, path.size()).second) return false;
    const size_t dot = path.find('.');
    const std::string_view head = path.substr(0, dot);
    if (!is_indexed_name(head)) return false;
    std::optional<uint32_t> attribute = global_interner().get(head);
    if (!attribute) return false;
    std::optional<PyValue> value;
    {
      auto store = std::as_const(record.attributes()).lock();
      if (const PyValue* stored = store->get(*attribute)) value = *stored;
    }
    if (!value) return false;
    if (dot == std::string_view::npos) return any_leaf(*value, visit_);
    const std::string_view rest = path.substr(dot + 1);
    auto follow = [&](const PyValue& leaf) {
      return leaf.kind() == ValueKind::Ind && object(*leaf.as_indexable().owned_handle, rest);
    };
    return any_leaf(*value, follow);
  }

 private:
  Visit& visit_;
  std::set<std::pair<uint32_t, size_t>> visited_;
};

template <class Visit>
bool walk_path(const IndexableRecord& record, std::string_view path, Visit&& visit) {
  return PathWalk<std::remove_reference_t<Visit>>(visit).object(record, path);
}

}  // namespace

bool object_matches(const IndexableRecord& record, std::string_view path,
                    const Comparison& comparison) {
  return walk_path(record, path,
                   [&](const PyValue& leaf) { return comparison.matches_leaf(leaf); });
}

void collect_path_values(const IndexableRecord& record, std::string_view path,
                         std::vector<PyValue>& out) {
  walk_path(record, path, [&](const PyValue& leaf) {
    if (!equality_key(leaf).matches_nothing()) out.push_back(leaf);
    return false;
  });
}

bool attribute_matches(const IndexableRecord& record, uint32_t attribute,
                       const Comparison& comparison) {
  auto store = std::as_const(record.attributes()).lock();
  const PyValue* value = store->get(attribute);
  return value != nullptr && comparison.matches(*value);
}

}  // namespace vantorel
