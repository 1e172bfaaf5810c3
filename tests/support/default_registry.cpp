// Linked into every unit-test program: a test that forgets to point
// QUIB_REGISTRY at a folder of its own still never reaches the machine-wide
// settings, but a folder in the build tree that nothing fills.
#include <cstdlib>

namespace {

const bool kDefaultRegistrySet = [] {
  setenv("QUIB_REGISTRY", QUIB_TEST_REGISTRY, 0);
  setenv("QUIB_QUEUE_DIR", QUIB_TEST_REGISTRY "-queue", 0);  // nor the user's queue
  return true;
}();

}  // namespace
