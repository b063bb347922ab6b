// The drawing layer used from several threads at once: one bitmap selected and
// released by contexts of different threads, contexts deleted while another
// thread tries the same bitmap. Meant for ThreadSanitizer (-DZOETRA_TSAN=ON);
// in other builds it checks that the one-context-at-a-time rule holds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/drawing/gdi.hpp"

namespace zoetra::platform {
namespace {

TEST(GdiThreadsTest, OneBitmapIsSelectedIntoOneContextAtATime) {
  BitmapInfoHeader header{};
  header.size = 40;
  header.width = 8;
  header.height = 8;
  header.planes = 1;
  header.bit_count = 32;
  const HBITMAP bitmap = CreateDIBSection(0, header, {}, nullptr);
  ASSERT_NE(bitmap, 0u);

  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> selected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const HDC dc = CreateCompatibleDC(0);
        const HGDIOBJ previous = SelectObject(dc, bitmap);
        if (previous != 0) {
          if (++holders > 1) ++overlaps;
          ++selected;
          --holders;
          // Half the rounds give the bitmap back first, half delete the context holding it.
          if ((i + t) % 2 == 0) SelectObject(dc, previous);
        }
        DeleteDC(dc);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(selected.load(), 0);
  EXPECT_TRUE(DeleteObject(bitmap)) << "the bitmap is still marked as selected";
}

}  // namespace
}  // namespace zoetra::platform
