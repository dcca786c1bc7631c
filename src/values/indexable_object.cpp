#include "values/indexable_object.h"

namespace vantorel {

namespace {

// Set once, when the class is made; kept for the life of the process.
PyTypeObject* registered_type = nullptr;

// Both handles of a stored item in one allocation; the item's two shared
// pointers alias into it and share its count.
struct ItemHandles {
  py::OwnedRef python;
  IndexableRecord record;
};

}  // namespace

void register_indexable_type(PyTypeObject* type) {
  registered_type = type;
}

bool is_indexable(PyObject* object) {
  return registered_type != nullptr && PyObject_TypeCheck(object, registered_type);
}

StoredItem stored_item_of(PyObject* object) {
  auto handles = std::make_shared<ItemHandles>();
  handles->python = py::OwnedRef::borrow(object);
  const IndexableRecord& source = as_indexable(object)->record;
  handles->record.state = source.state;
  handles->record.id = source.id;
  handles->record.owns_id = false;
  return StoredItem{std::shared_ptr<const py::OwnedRef>(handles, &handles->python),
                    std::shared_ptr<const IndexableRecord>(handles, &handles->record)};
}

}  // namespace vantorel
