// The software display's callbacks against the thread that feeds it pictures: a host callback
// may wait for that thread (closing its port does), so new pictures must get in while a callback
// runs, and the picture the callback reads must stay as it was until the callback returns.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ddraw/display.h"

namespace {

constexpr auto kWait = std::chrono::seconds(20);
constexpr uint32_t kW = 32, kH = 16;

std::vector<uint8_t> Solid(uint8_t y) {
    std::vector<uint8_t> p(size_t{kW} * kH * 3 / 2, 128);
    std::fill(p.begin(), p.begin() + size_t{kW} * kH, y);
    return p;
}

struct Scene {
    std::mutex mutex;
    std::condition_variable cv;
    HDD::CDisplay* display = nullptr;
    std::vector<uint8_t> borrowed = Solid(60);  // the first picture, lent to the display
    std::vector<uint8_t> copied = Solid(200);   // what the feeder puts in meanwhile
    std::vector<uint8_t*> givenBack;
    bool entered = false;
    bool left = false;          // the callback is past its checks
    bool fed = false;           // the feeder's inputs returned
    bool fedInside = false;     // ... while the callback still ran
    bool borrowedKept = false;  // the lent memory was not given back during the callback
    uint8_t seenBefore = 0, seenAfter = 0;
    std::thread feeder;  // joined here: a callback that joined it could wait forever

    ~Scene() {
        if (display != nullptr)
            HDD::DestroyDisplay(display);
        if (feeder.joinable())
            feeder.join();
    }

    static uint32_t Release(uint8_t* memory, uint32_t, void* user) {
        auto* s = static_cast<Scene*>(user);
        std::lock_guard<std::mutex> g(s->mutex);
        s->givenBack.push_back(memory);
        s->cv.notify_all();
        return 0;
    }

    static void Snap(uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t* data, void* user) {
        auto* s = static_cast<Scene*>(user);
        std::unique_lock<std::mutex> g(s->mutex);
        if (s->entered)
            return;
        s->entered = true;
        s->cv.notify_all();
        s->seenBefore = data[0];
        // Another thread feeds the next pictures while this callback waits for it, as a
        // callback closing its port waits for the port's video thread.
        s->feeder = std::thread([s] {
            const uint8_t* planes[3] = {s->copied.data(), s->copied.data() + kW * kH,
                                        s->copied.data() + kW * kH * 5 / 4};
            const uint32_t strides[3] = {kW, kW / 2, kW / 2};
            HDD::InputPicture(s->display, kW, kH, 20, planes, strides);
            HDD::InputPicture(s->display, kW, kH, 20, planes, strides);
            std::lock_guard<std::mutex> fg(s->mutex);
            s->fed = true;
            s->cv.notify_all();
        });
        s->fedInside = s->cv.wait_for(g, kWait, [s] { return s->fed; });
        s->borrowedKept = std::find(s->givenBack.begin(), s->givenBack.end(), s->borrowed.data()) ==
                          s->givenBack.end();
        s->seenAfter = data[0];
        s->left = true;
        s->cv.notify_all();
    }
};

TEST(DisplayCallbacks, PicturesGetInWhileTheSnapCallbackRunsAndItsPictureStaysIntact) {
    Scene scene;
    ASSERT_EQ(HDD::CreateDisplay(&scene.display), QUORIX_OK);
    HDD::SetFrameReleaseCallback(scene.display, &Scene::Release, &scene);
    HDD::SetSnapCallback(scene.display, &Scene::Snap, &scene);
    ASSERT_EQ(HDD::AttachPicture(scene.display, kW, kH, 20, scene.borrowed.data(),
                                 static_cast<uint32_t>(scene.borrowed.size())),
              QUORIX_OK);
    {
        std::unique_lock<std::mutex> g(scene.mutex);
        ASSERT_TRUE(scene.cv.wait_for(g, kWait, [&] { return scene.left; }));
        EXPECT_TRUE(scene.fedInside) << "picture input waited for the snap callback";
        EXPECT_TRUE(scene.borrowedKept) << "lent memory went back while it was being read";
        EXPECT_EQ(scene.seenBefore, 60);
        EXPECT_EQ(scene.seenAfter, 60) << "the picture changed under the callback";
        // Once the callback has let go of it, the lent memory goes back, exactly once.
        ASSERT_TRUE(scene.cv.wait_for(g, kWait, [&] { return !scene.givenBack.empty(); }));
    }
    HDD::SetSnapCallback(scene.display, nullptr, nullptr);
    // The newest picture is the one the display keeps for snapshots.
    uint32_t w = 0, stride = 0, h = 0, format = 0;
    uint8_t* data = nullptr;
    HDD::SetSnapFormat(scene.display, 3);
    ASSERT_EQ(HDD::Snapshot(scene.display, &w, &stride, &h, &format, &data), QUORIX_OK);
    EXPECT_EQ(w, kW);
    HDD::FreeSnapData(data);
    EXPECT_EQ(HDD::DestroyDisplay(scene.display), QUORIX_OK);
    scene.display = nullptr;
    std::lock_guard<std::mutex> g(scene.mutex);
    ASSERT_EQ(scene.givenBack.size(), 1u);
    EXPECT_EQ(scene.givenBack[0], scene.borrowed.data());
}

// A capture reads the held picture at length (it de-warps it): pictures keep coming meanwhile,
// and the one it reads stays as it was, its lent memory kept, until the capture ends.
TEST(DisplayCallbacks, PicturesGetInWhileACaptureReadsThePicture) {
    Scene scene;
    ASSERT_EQ(HDD::CreateDisplay(&scene.display), QUORIX_OK);
    HDD::SetFrameReleaseCallback(scene.display, &Scene::Release, &scene);
    ASSERT_EQ(HDD::AttachPicture(scene.display, kW, kH, 20, scene.borrowed.data(),
                                 static_cast<uint32_t>(scene.borrowed.size())),
              QUORIX_OK);
    const uint32_t visited = scene.display->WithPicture(
        10000,
        [](const HDD::FramePlanes& planes, void* user) -> uint32_t {
            auto* s = static_cast<Scene*>(user);
            std::unique_lock<std::mutex> g(s->mutex);
            s->seenBefore = planes.y[0];
            s->feeder = std::thread([s] {
                const uint8_t* in[3] = {s->copied.data(), s->copied.data() + kW * kH,
                                        s->copied.data() + kW * kH * 5 / 4};
                const uint32_t strides[3] = {kW, kW / 2, kW / 2};
                HDD::InputPicture(s->display, kW, kH, 20, in, strides);
                HDD::InputPicture(s->display, kW, kH, 20, in, strides);
                std::lock_guard<std::mutex> fg(s->mutex);
                s->fed = true;
                s->cv.notify_all();
            });
            s->fedInside = s->cv.wait_for(g, kWait, [s] { return s->fed; });
            s->borrowedKept = std::find(s->givenBack.begin(), s->givenBack.end(),
                                        s->borrowed.data()) == s->givenBack.end();
            s->seenAfter = planes.y[0];
            return QUORIX_OK;
        },
        &scene);
    EXPECT_EQ(visited, QUORIX_OK);
    EXPECT_TRUE(scene.fedInside) << "picture input waited for the capture";
    EXPECT_TRUE(scene.borrowedKept) << "lent memory went back while it was being read";
    EXPECT_EQ(scene.seenBefore, 60);
    EXPECT_EQ(scene.seenAfter, 60) << "the picture changed under the capture";
    {
        // Once the capture has let go of it, the lent memory goes back, exactly once.
        std::unique_lock<std::mutex> g(scene.mutex);
        ASSERT_TRUE(scene.cv.wait_for(g, kWait, [&] { return !scene.givenBack.empty(); }));
        EXPECT_EQ(scene.givenBack.size(), 1u);
    }
    // The capture after it reads the newest picture.
    uint8_t newest = 0;
    EXPECT_EQ(scene.display->WithPicture(
                  0,
                  [](const HDD::FramePlanes& planes, void* user) -> uint32_t {
                      *static_cast<uint8_t*>(user) = planes.y[0];
                      return QUORIX_OK;
                  },
                  &newest),
              QUORIX_OK);
    EXPECT_EQ(newest, 200);
}

// Pictures that come in a burst while the display thread is busy (a decoder catching up) are
// each handed over in their order, not only the last of them.
TEST(DisplayCallbacks, APictureThatCameDuringADrawingIsNotSkipped) {
    struct Burst {
        std::mutex mutex;
        std::condition_variable cv;
        bool release = false;
        std::vector<uint8_t> seen;
        static void Snap(uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t* data, void* user) {
            auto* b = static_cast<Burst*>(user);
            std::unique_lock<std::mutex> g(b->mutex);
            b->seen.push_back(data[0]);
            b->cv.notify_all();
            // The first drawing lasts until the burst is in.
            b->cv.wait_for(g, kWait, [b] { return b->release; });
        }
    } burst;
    HDD::CDisplay* display = nullptr;
    ASSERT_EQ(HDD::CreateDisplay(&display), QUORIX_OK);
    struct DestroyFirst {
        HDD::CDisplay* display;
        ~DestroyFirst() { HDD::DestroyDisplay(display); }
    } destroyFirst{display};
    HDD::SetSnapCallback(display, &Burst::Snap, &burst);
    auto input = [&](uint8_t y) {
        const std::vector<uint8_t> p = Solid(y);
        const uint8_t* planes[3] = {p.data(), p.data() + kW * kH, p.data() + kW * kH * 5 / 4};
        const uint32_t strides[3] = {kW, kW / 2, kW / 2};
        return HDD::InputPicture(display, kW, kH, 20, planes, strides);
    };
    ASSERT_EQ(input(10), QUORIX_OK);
    {
        std::unique_lock<std::mutex> g(burst.mutex);
        ASSERT_TRUE(burst.cv.wait_for(g, kWait, [&] { return !burst.seen.empty(); }));
    }
    // A burst of five while the display thread is held: three wait their turn, and only
    // beyond that does the newest replace the pending one.
    for (const uint8_t y : {20, 30, 40, 50, 60})
        ASSERT_EQ(input(y), QUORIX_OK);
    std::unique_lock<std::mutex> g(burst.mutex);
    burst.release = true;
    burst.cv.notify_all();
    ASSERT_TRUE(burst.cv.wait_for(g, kWait, [&] { return burst.seen.back() == 60; }));
    EXPECT_EQ(burst.seen, (std::vector<uint8_t>{10, 20, 30, 40, 60}));
}

}  // namespace
