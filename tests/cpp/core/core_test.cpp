// The index core seen from C++: array and table growth, masked element ids
// and nested objects with several holders.
#include <gtest/gtest.h>

#include "classes/indexable.h"
#include "core/index.h"
#include "core/query/compare.h"
#include "core/query/query.h"
#include "native/structures/id_alloc/id_alloc.h"
#include "native/structures/string_interner/string_interner.h"
#include "py/ref.h"

namespace vantorel {
namespace {

// A new Indexable Python object (owned) with the given attributes set.
py::OwnedRef make_object() {
  PyObject* type = reinterpret_cast<PyObject*>(indexable_type());
  return py::OwnedRef::steal(PyObject_CallNoArgs(type));
}

void set(const py::OwnedRef& object, const char* name, PyObject* value) {
  ASSERT_EQ(PyObject_SetAttrString(object.get(), name, value), 0);
  Py_DECREF(value);
}

std::vector<uint32_t> ids(const Bitmap& bitmap) {
  return bitmap.to_vector();
}

std::vector<uint32_t> ids(const ElementIds& masked_ids) {
  return {masked_ids.data(), masked_ids.data() + masked_ids.size()};
}

uint32_t id_of(const py::OwnedRef& object) {
  return stored_item_of(object.get()).record->id;
}

TEST(IndexCore, ValueIndexArrayGrowsToTheAttributeId) {
  auto core = IndexAPI::make();
  const uint32_t attribute = global_interner().intern("core_test_far_attribute");
  core->add_index(7, attribute, PyValue::of_int(3));
  ASSERT_EQ(core->read_maps([](const IndexAPI::MapArray& maps) { return maps.size(); }),
            attribute + 1);
  for (uint32_t k = 0; k < attribute; ++k) EXPECT_EQ(core->map_for(k), nullptr);
  EXPECT_EQ(ids(core->map_for(attribute)->eq(PyValue::of_float(3.0))), std::vector<uint32_t>{7});
}

TEST(IndexCore, ItemTableKeepsVacantSlotsBelowTheLargestId) {
  auto core = IndexAPI::make();
  py::OwnedRef object = make_object();
  core->add_object(stored_item_of(object.get()));
  Bitmap every_slot;
  every_slot.add_range(0, id_of(object) + 1);
  std::vector<StoredItem> stored = core->items_at(every_slot);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].python->get(), object.get());
}

TEST(IndexCore, EachKindGoesToItsSubIndex) {
  auto core = IndexAPI::make();
  const uint32_t attribute = global_interner().intern("core_test_kinds");
  core->add_index(1, attribute, PyValue::of_int(5));
  core->add_index(2, attribute, PyValue::of_str("ab"));
  core->add_index(3, attribute, PyValue::of_bool(true));
  std::shared_ptr<QueryMap> map = core->map_for(attribute);
  EXPECT_EQ(ids(map->eq(PyValue::of_int(5))), std::vector<uint32_t>{1});
  EXPECT_EQ(ids(map->eq(PyValue::of_str("ab"))), std::vector<uint32_t>{2});
  EXPECT_EQ(ids(map->eq(PyValue::of_bool(true))), std::vector<uint32_t>{3});
  EXPECT_TRUE(map->eq(PyValue::of_int(1)).empty());  // True lives only in the boolean index
  core->remove_index(2, attribute, PyValue::of_str("ab"));
  EXPECT_TRUE(map->eq(PyValue::of_str("ab")).empty());
}

// The bit slices exist only between a range that needs them and the burst
// of unqueried writes that drops them; answers are the same either way.
TEST(IndexCore, BitSlicesAreBuiltForRangesAndDroppedByUnqueriedWrites) {
  auto core = IndexAPI::make();
  const uint32_t attribute = global_interner().intern("core_test_lazy_slices");
  constexpr uint32_t kIds = 200;  // distinct values: too many for a walk
  for (uint32_t id = 1; id <= kIds; ++id) core->add_index(id, attribute, PyValue::of_int(id));
  std::shared_ptr<QueryMap> map = core->map_for(attribute);
  auto built = [&] {
    return map->read_numbers(
        [](const NumberIndex* numbers) { return numbers->slices.get() != nullptr; });
  };
  Bitmap all;
  for (uint32_t id = 1; id <= kIds; ++id) all.add(id);
  EXPECT_FALSE(built());
  const PyValue bounds[] = {PyValue::of_int(10), PyValue::of_int(150)};
  EXPECT_EQ(map->range(KeyRange::of(QueryOp::Gt, {&bounds[0], 1}), all).cardinality(), kIds - 10);
  EXPECT_TRUE(built());
  // Moving id 1 back and forth: each move is a write nobody queries.
  for (int round = 0; round < 600; ++round) {
    core->replace_index(1, attribute, PyValue::of_int(1), PyValue::of_int(1000));
    core->replace_index(1, attribute, PyValue::of_int(1000), PyValue::of_int(1));
  }
  EXPECT_FALSE(built());
  EXPECT_EQ(map->range(KeyRange::of(QueryOp::Le, {&bounds[1], 1}), all).cardinality(), 150u);
  EXPECT_TRUE(built());
}

TEST(IndexCore, MaskedIdsMapToTheirOwnersAndAreFreedOnce) {
  auto core = IndexAPI::make();
  py::OwnedRef object = make_object();
  const uint32_t owner = id_of(object);
  core->add_object(stored_item_of(object.get()));
  const size_t free_before = free_id_count();
  set(object, "core_test_list", Py_BuildValue("[i,[i,s]]", 1, 2, "x"));
  const uint32_t attribute = *global_interner().get("core_test_list");
  std::shared_ptr<QueryMap> map = core->map_for(attribute);
  map->read_elements([&](const ElementTable* elements) {
    EXPECT_EQ(elements->masked_ids.cardinality(), 4u);  // 1, [2, "x"], 2, "x"
    elements->masked_ids.for_each([&](uint32_t masked) {
      EXPECT_EQ(elements->root_of(masked), std::optional<uint32_t>(owner));
    });
  });
  EXPECT_EQ(ids(map->eq(PyValue::of_int(2))), std::vector<uint32_t>{owner});
  EXPECT_EQ(ids(map->eq(PyValue::of_str("x"))), std::vector<uint32_t>{owner});
  set(object, "core_test_list", PyLong_FromLong(0));
  EXPECT_TRUE(map->read_elements(
      [](const ElementTable* elements) { return elements->masked_ids.empty(); }));
  EXPECT_EQ(free_id_count(), free_before + 4);
}

TEST(IndexCore, NestedObjectsLeaveOnlyWithTheirLastHolder) {
  auto core = IndexAPI::make();
  py::OwnedRef child = make_object();
  py::OwnedRef first = make_object();
  py::OwnedRef second = make_object();
  set(first, "core_test_owner", Py_NewRef(child.get()));
  set(second, "core_test_owner", Py_NewRef(child.get()));
  core->add_object(stored_item_of(first.get()));
  core->add_object(stored_item_of(second.get()));
  const uint32_t attribute = *global_interner().get("core_test_owner");
  std::shared_ptr<IndexAPI> nested = core->map_for(attribute)->nested();
  ASSERT_NE(nested, nullptr);
  EXPECT_TRUE(nested->is_live(id_of(child)));
  Bitmap held{id_of(child)};
  Bitmap holders = nested->get_parent_from_ids(held);
  EXPECT_EQ(holders.cardinality(), 2u);

  set(first, "core_test_owner", Py_NewRef(Py_None));
  EXPECT_EQ(ids(nested->get_parent_from_ids(held)), std::vector<uint32_t>{id_of(second)});
  EXPECT_TRUE(nested->is_live(id_of(child)));
  set(second, "core_test_owner", Py_NewRef(Py_None));
  EXPECT_TRUE(nested->get_parent_from_ids(held).empty());
  EXPECT_FALSE(nested->is_live(id_of(child)));
  EXPECT_TRUE(nested->try_read_paths([](const M2MU32& links) { return links.pairs().empty(); }));
}

// Owners keep their own elements through replacements, removals, the slab's
// compaction and a filtered erase; every third owner has more ids than fit
// in its entry.
TEST(IndexCore, ElementOwnersKeepEachOwnersElements) {
  ElementOwners owners;
  auto ids_of = [](uint32_t owner) {
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < (owner % 3 == 0 ? 7u : 2u); ++i) ids.push_back(owner * 8 + i);
    return ids;
  };
  auto owned = [&](uint32_t owner) {
    auto values = std::make_shared<std::vector<PyValue>>();
    values->push_back(PyValue::of_int(owner));
    OwnedElements entry{std::move(values), {}};
    for (uint32_t id : ids_of(owner)) entry.masked_ids.push_back(id);
    return entry;
  };
  auto holds = [&](uint32_t owner) {
    const OwnedElements* found = owners.find(owner);
    return found != nullptr && ids(found->masked_ids) == ids_of(owner) &&
           (*found->values)[0] == PyValue::of_int(owner);
  };
  for (uint32_t owner = 1; owner <= 4000; ++owner) owners.put(owner, owned(owner));
  owners.put(7, owned(7));  // replaces
  for (uint32_t owner = 1; owner <= 4000; ++owner) {
    if (owner % 5 != 0) {
      std::optional<OwnedElements> taken = owners.take(owner);
      ASSERT_TRUE(taken && ids(taken->masked_ids) == ids_of(owner));
    }
  }
  EXPECT_FALSE(owners.take(1));
  owners.erase_if([](uint32_t owner) { return owner % 10 == 0; });
  for (uint32_t owner = 1; owner <= 4000; ++owner) {
    EXPECT_EQ(holds(owner), owner % 5 == 0 && owner % 10 != 0) << owner;
  }
  for (uint32_t owner = 4001; owner <= 4100; ++owner) owners.put(owner, owned(owner));
  EXPECT_TRUE(holds(4100) && holds(15));
}

}  // namespace
}  // namespace vantorel
