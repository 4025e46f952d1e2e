// The region heap is set up once per process, as the stub does, for every
// test of the unit suites.
#include <gtest/gtest.h>

#include "heap/region_heap.h"

namespace {

struct RegionHeapEnvironment : ::testing::Environment {
    void SetUp() override { RegionHeapInit(); }
    void TearDown() override { RegionHeapShutdown(); }
};

::testing::Environment *const regionHeapEnvironment =
    ::testing::AddGlobalTestEnvironment(new RegionHeapEnvironment);

} // namespace
