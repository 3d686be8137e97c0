// The housekeeping thread in-process: overlays of absent clients expire, attached ones stay,
// and stopping does not wait for the next round.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "diskd_harness.h"
#include "housekeeping.h"
#include "image.h"
#include "store.h"

using namespace diskd_test;
using namespace zelko::diskd;

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(HousekeepingTest, ExpiresDetachedOverlaysOnlyAndStopsAtOnce) {
    TempDir dir;
    MakeImage(dir / "a.img", 1u << 20);
    Config cfg;
    cfg.dataDir = dir / "data";
    cfg.images.push_back({"iqn.x:image.1", dir / "a.img"});
    cfg.overlayRetentionSeconds = 1;
    ImageStore store(cfg);
    std::string err;
    ASSERT_TRUE(store.Start(&err)) << err;
    auto img = store.All().at(0);
    auto present = img->AttachNormal("present-pc", 0, 120, &err);
    auto gone = img->AttachNormal("gone-pc", 0, 120, &err);
    ASSERT_TRUE(present && gone) << err;
    std::vector<uint8_t> block(4096, 7);
    ASSERT_EQ(img->Write(gone.get(), gone->pinnedVersion, 0, block.data(), block.size()), 0u);
    ASSERT_EQ(img->Write(present.get(), present->pinnedVersion, 0, block.data(), block.size()), 0u);
    std::string goneMap = gone->layer->stem() + ".map", presentMap = present->layer->stem() + ".map";
    ASSERT_TRUE(Exists(goneMap) && Exists(presentMap));
    img->Detach(gone);
    gone.reset();

    Housekeeping chores(cfg, store);
    chores.Start();
    bool expired = false;
    for (int i = 0; i < 50 && !expired; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        expired = !Exists(goneMap);
    }
    EXPECT_TRUE(expired);
    EXPECT_TRUE(Exists(presentMap)) << "an attached overlay must never expire";

    // A reload in standalone mode has nothing to fetch; it must neither block nor stop the
    // thread, and a stop in the middle of a wait returns at once.
    chores.RequestReload();
    auto t0 = std::chrono::steady_clock::now();
    chores.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    img->Detach(present);
    store.Stop();
}

}  // namespace
