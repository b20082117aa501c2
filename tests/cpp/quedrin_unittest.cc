// The quedrin tool as other toolkit code links it: stores handed in, handed out and closed.
#include "kivo/SIImageStore.h"
#include "kivo/controls.h"
#include "kivocore/TrelError.h"
#include "quedrin/quedrin_cmpt.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace {

// A store that counts its releases and destruction, and can fail its release.
class CountingStore : public kivo::SIImageStore {
public:
    explicit CountingStore(int *destroyed) : destroyed_(destroyed) {}
    ~CountingStore() override { ++*destroyed_; }

    bool releaseLocks() override {
        ++releases;
        if (fail_release) {
            throw kivocore::TrelError("release failed", 7);
        }
        return true;
    }

    int releases = 0;
    bool fail_release = false;

private:
    int *destroyed_;
};

TEST(QuedrinHandedIn, DoneReleasesOnceAndForgets) {
    int destroyed = 0;
    CountingStore store(&destroyed);
    {
        kivoc::quedrin tool(&store);
        EXPECT_FALSE(tool.done());
        EXPECT_EQ(store.releases, 1);
        EXPECT_EQ(tool.getImStore(), nullptr);
        EXPECT_FALSE(tool.done());
        EXPECT_EQ(store.releases, 1);
    }
    EXPECT_EQ(store.releases, 1);
    EXPECT_EQ(destroyed, 0) << "a handed-in store belongs to whoever handed it in";
}

TEST(QuedrinHandedIn, DeletionReleasesWhenNotDone) {
    int destroyed = 0;
    CountingStore store(&destroyed);
    { kivoc::quedrin tool(&store); }
    EXPECT_EQ(store.releases, 1);
    EXPECT_EQ(destroyed, 0);
}

TEST(QuedrinHandedIn, GetImStoreHandsOutWithoutClosing) {
    int destroyed = 0;
    CountingStore store(&destroyed);
    {
        kivoc::quedrin tool(&store);
        EXPECT_EQ(tool.getImStore(), &store);
        EXPECT_EQ(tool.getImStore(), &store) << "handing out does not close the tool";
        EXPECT_FALSE(tool.done());
        EXPECT_EQ(tool.getImStore(), nullptr);
    }
    EXPECT_EQ(store.releases, 0);
    EXPECT_EQ(destroyed, 0);
}

TEST(QuedrinHandedIn, NullStore) {
    kivoc::quedrin tool(nullptr);
    EXPECT_EQ(tool.getImStore(), nullptr);
    EXPECT_FALSE(tool.done());
}

TEST(QuedrinHandedIn, FailingReleaseLeavesDoneWithStoreHeld) {
    int destroyed = 0;
    CountingStore store(&destroyed);
    {
        kivoc::quedrin tool(&store);
        store.fail_release = true;
        try {
            tool.done();
            FAIL() << "done() swallowed the release error";
        } catch (const kivocore::TrelError &error) {
            EXPECT_STREQ(error.what(), "release failed");
            EXPECT_EQ(error.getCategory(), 7);
        }
        EXPECT_EQ(store.releases, 1);
        // Still held: a retry releases again and then forgets it.
        store.fail_release = false;
        EXPECT_FALSE(tool.done());
        EXPECT_EQ(store.releases, 2);
        EXPECT_EQ(tool.getImStore(), nullptr);
    }
    EXPECT_EQ(store.releases, 2);
}

TEST(QuedrinHandedIn, DestructorSwallowsReleaseError) {
    int destroyed = 0;
    CountingStore store(&destroyed);
    store.fail_release = true;
    EXPECT_NO_THROW({ kivoc::quedrin tool(&store); });
    EXPECT_EQ(store.releases, 1) << "the destructor tries once and then forgets the store";
    EXPECT_EQ(destroyed, 0);
}

TEST(QuedrinHandedIn, DestructorThroughDeleteSwallowsReleaseError) {
    int destroyed = 0;
    CountingStore store(&destroyed);
    auto *tool = new kivoc::quedrin(&store);
    store.fail_release = true;
    EXPECT_NO_THROW(delete tool);
    EXPECT_EQ(store.releases, 1);
}

class QuedrinOwnStore : public ::testing::Test {
protected:
    void SetUp() override { kivo_controls_reset(); }
    void TearDown() override { kivo_controls_reset(); }
};

TEST_F(QuedrinOwnStore, DoneDestroysTheStoreWithoutReleasingIt) {
    kivoc::quedrin tool;
    EXPECT_EQ(kivo_control_stores_constructed(), 1);
    // The handed-out store is ours now.
    std::unique_ptr<kivo::SIImageStore> handed(tool.getImStore());
    ASSERT_NE(handed, nullptr);
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    kivoc::quedrin closing;
    EXPECT_FALSE(closing.done());
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
    EXPECT_FALSE(closing.done());
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
    EXPECT_EQ(kivo_control_stores_released(), 0);
}

TEST_F(QuedrinOwnStore, DeletionDestroysTheStore) {
    { kivoc::quedrin tool; }
    EXPECT_EQ(kivo_control_stores_constructed(), 1);
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
    EXPECT_EQ(kivo_control_stores_released(), 0);
}

TEST_F(QuedrinOwnStore, HandedOutStoreBelongsToTheCaller) {
    kivo::SIImageStore *store = nullptr;
    {
        kivoc::quedrin tool;
        store = tool.getImStore();
        EXPECT_FALSE(tool.done());
        EXPECT_EQ(tool.getImStore(), nullptr);
    }
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    delete store;
    EXPECT_EQ(kivo_control_stores_destroyed(), 1);
    EXPECT_EQ(kivo_control_stores_released(), 0);
}

TEST_F(QuedrinOwnStore, FailingStoreConstructorLeavesTheConstructor) {
    kivo_control_fail(KIVO_OP_STORE_CONSTRUCT, "no store", 3, nullptr, 1);
    try {
        kivoc::quedrin tool;
        FAIL() << "the tool was made without a store";
    } catch (const kivocore::TrelError &error) {
        EXPECT_STREQ(error.what(), "no store");
    }
    EXPECT_EQ(kivo_control_stores_constructed(), kivo_control_stores_destroyed());
}

TEST_F(QuedrinOwnStore, StandInReleaseReachedThroughTheTool) {
    auto *store = new kivo::SIImageStore();
    { kivoc::quedrin tool(store); }
    EXPECT_EQ(kivo_control_stores_released(), 1);
    EXPECT_EQ(kivo_control_stores_destroyed(), 0);
    delete store;
}

TEST_F(QuedrinOwnStore, ConcurrentDoneDestroysTheStoreOnce) {
    // Tool calls run without the interpreter lock: two threads may close one tool at once.
    constexpr int rounds = 2000;
    for (int round = 0; round < rounds; ++round) {
        kivoc::quedrin tool;
        std::atomic<bool> go{false};
        auto close = [&] {
            while (!go.load()) {
            }
            EXPECT_FALSE(tool.done());
        };
        std::thread first(close), second(close);
        go = true;
        first.join();
        second.join();
    }
    EXPECT_EQ(kivo_control_stores_constructed(), rounds);
    EXPECT_EQ(kivo_control_stores_destroyed(), rounds);
}

} // namespace
