// The Windows port watch on a registry key of the test's own (HKEY_CURRENT_USER), as it
// watches the keys under which the system lists its serial ports.
#include "TPortWatch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

TEST(TPortWatchTest, AValueThatComesOrGoesIsTold) {
    const char* const key = "Software\\Quellmark-TPortWatchTest";
    HKEY handle = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &handle, nullptr),
              ERROR_SUCCESS);
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
            std::string("HKCU\\") + key);
        ASSERT_TRUE(watch.Watching()) << watch.Failure();
        const char data[] = "COM17";
        for (const bool add : {true, false}) {
            if (add)
                ASSERT_EQ(::RegSetValueExA(handle, "\\Device\\Test0", 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(data), sizeof data),
                          ERROR_SUCCESS);
            else
                ASSERT_EQ(::RegDeleteValueA(handle, "\\Device\\Test0"), ERROR_SUCCESS);
            std::unique_lock lock(mutex);
            EXPECT_TRUE(told.wait_for(lock, std::chrono::seconds(10), [&] { return changes > 0; }));
            changes = 0;
        }
    }
    ::RegCloseKey(handle);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, key);
    EXPECT_FALSE(TPortWatch([] {}, "HKCU\\Software\\Quellmark-no-such-key").Watching());
}

} // namespace
