// Runs the core tests inside an embedded interpreter: the index core holds
// Python objects, so it needs one.
#include <gtest/gtest.h>

#include "py/python.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Py_Initialize();
  const int result = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return result;
}
