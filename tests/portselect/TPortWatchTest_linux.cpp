// The Linux port watch on a folder of the test's own, as it watches /dev for the device
// nodes of adapters that come and go.
#include "TPortWatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

namespace {

TEST(TPortWatchTest, ANodeThatComesOrGoesIsTold) {
    char templ[] = "/tmp/quellmark-portwatch-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const fs::path dir = templ;
    std::mutex mutex;
    std::condition_variable told;
    int changes = 0;
    {
        TPortWatch watch(
            [&] {
                std::scoped_lock lock(mutex);
                ++changes;
                told.notify_all();
            },
            dir.string());
        ASSERT_TRUE(watch.Watching()) << watch.Failure();
        for (const bool add : {true, false}) {
            if (add)
                std::ofstream(dir / "ttyUSB0") << "";
            else
                fs::remove(dir / "ttyUSB0");
            std::unique_lock lock(mutex);
            EXPECT_TRUE(told.wait_for(lock, std::chrono::seconds(10), [&] { return changes > 0; }))
                << (add ? "plugged in" : "pulled out");
            changes = 0;
        }
    }
    fs::remove_all(dir);
    const TPortWatch missing([] {}, (dir / "gone").string());
    EXPECT_FALSE(missing.Watching());
    EXPECT_NE(missing.Failure().find("No such file or directory"), std::string::npos)
        << missing.Failure();
}

} // namespace
