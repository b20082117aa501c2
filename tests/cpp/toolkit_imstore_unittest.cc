// The image-store stand-in: construction, the release operation through the virtual table, and
// the lifetime counters and faults that tests of quedrin rely on.
#include "kivo/SIImageStore.h"
#include "kivo/controls.h"
#include "kivocore/TrelError.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

using kivo::SIImageStore;
using kivocore::TrelError;

class ImageStoreTest : public ::testing::Test {
protected:
    void SetUp() override { kivo_controls_reset(); }
    void TearDown() override { kivo_controls_reset(); }
};

// Calls the entry at index 2 of the store's virtual table, as code built against another
// declaration of the class does.
void release_through_vtable(SIImageStore *store) {
    using Release = bool (*)(SIImageStore *);
    void **vtable = *reinterpret_cast<void ***>(store);
    reinterpret_cast<Release>(vtable[2])(store);
}

TEST_F(ImageStoreTest, CountersFollowTheStoresLife) {
    auto *store = new SIImageStore;
    EXPECT_EQ(kivo_control_stores_constructed(), 1);
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    EXPECT_TRUE(store->releaseLocks());
    EXPECT_TRUE(store->releaseLocks());
    EXPECT_EQ(kivo_control_stores_released(), 2); // every release counts
    delete store;
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_STORE_CONSTRUCT), 1);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_STORE_RELEASE), 2);
}

TEST_F(ImageStoreTest, ReleaseSitsAtVirtualTableIndexTwo) {
    std::unique_ptr<SIImageStore> store(new SIImageStore);
    release_through_vtable(store.get());
    EXPECT_EQ(kivo_control_stores_released(), 1);
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    store.reset();
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
}

TEST_F(ImageStoreTest, ConstructorFaultLeavesNoStore) {
    kivo_control_fail(KIVO_OP_STORE_CONSTRUCT, "no memory for images", 4, "ctor", 1);
    SIImageStore *store = nullptr;
    try {
        store = new SIImageStore;
        ADD_FAILURE() << "constructor did not throw";
    } catch (const TrelError &e) {
        EXPECT_STREQ(e.what(), "no memory for images");
        EXPECT_EQ(e.getCategory(), 4);
        EXPECT_STREQ(e.getStackTrace().c_str(), "ctor");
    }
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(kivo_control_stores_constructed(), 0);
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_STORE_CONSTRUCT), 1);
    delete new SIImageStore; // the fault was for one call only
    EXPECT_EQ(kivo_control_stores_constructed(), 1);
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
}

TEST_F(ImageStoreTest, ReleaseFaultThrowsThroughTheVirtualTableAndIsNotCounted) {
    std::unique_ptr<SIImageStore> store(new SIImageStore);
    kivo_control_fail(KIVO_OP_STORE_RELEASE, "locks stuck", 0, nullptr, -1);
    for (int i = 0; i < 3; ++i)
        EXPECT_THROW(release_through_vtable(store.get()), TrelError);
    EXPECT_EQ(kivo_control_stores_released(), 0);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_STORE_RELEASE), 3);
    kivo_control_disarm(KIVO_OP_STORE_RELEASE);
    release_through_vtable(store.get());
    EXPECT_EQ(kivo_control_stores_released(), 1);
}

TEST_F(ImageStoreTest, ResetZeroesTheCounters) {
    delete new SIImageStore;
    kivo_controls_reset();
    EXPECT_EQ(kivo_control_stores_constructed(), 0);
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    EXPECT_EQ(kivo_control_calls(KIVO_OP_STORE_CONSTRUCT), 0);
}

} // namespace
