#include "platform/drawing/clipboard.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/drawing/gdi.hpp"

namespace zoetra {
namespace {

using namespace platform;

HGLOBAL Block(std::size_t size, std::uint8_t fill) {
  const HGLOBAL h = GlobalAlloc(kGMemMoveable, size);
  std::uint8_t* p = GlobalLock(h);
  for (std::size_t i = 0; i < size; ++i) p[i] = fill;
  GlobalUnlock(h);
  return h;
}

bool OpenOnOtherThread() {
  std::atomic<bool> opened{false};
  std::thread([&] {
    opened = OpenClipboard(0);
    if (opened) CloseClipboard();
  }).join();
  return opened;
}

// Leaves the clipboard closed and empty whatever a test did.
class ClipboardTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (OpenClipboard(0)) {
      EmptyClipboard();
      CloseClipboard();
    }
  }
};

TEST_F(ClipboardTest, OneThreadAtATime) {
  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(OpenClipboard(0));  // the holder may open again
  EXPECT_FALSE(OpenOnOtherThread());
  EXPECT_TRUE(CloseClipboard());
  EXPECT_FALSE(CloseClipboard());  // no nesting: already closed
  EXPECT_TRUE(OpenOnOtherThread());
}

TEST_F(ClipboardTest, CallsNeedTheClipboardOpenOnThisThread) {
  const HGLOBAL block = Block(8, 1);
  EXPECT_FALSE(EmptyClipboard());
  EXPECT_EQ(SetClipboardData(kCfDib, block), 0u);
  EXPECT_EQ(GetClipboardData(kCfDib), 0u);
  EXPECT_EQ(GlobalSize(block), 8u);  // refused, so still the caller's
  GlobalFree(block);
}

TEST_F(ClipboardTest, ClipboardOwnsItsBlocks) {
  const std::size_t live = LiveObjectCount();
  ASSERT_TRUE(OpenClipboard(0x55));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_EQ(GetClipboardOwner(), 0x55u);
  const HGLOBAL first = Block(16, 1);
  const HGLOBAL second = Block(24, 2);
  const HGLOBAL text = Block(4, 3);
  EXPECT_EQ(SetClipboardData(kCfDib, first), first);
  EXPECT_EQ(SetClipboardData(1, text), text);
  EXPECT_EQ(SetClipboardData(kCfDib, second), second);
  EXPECT_EQ(GlobalSize(first), 0u);  // replaced, so freed
  EXPECT_EQ(GetClipboardData(kCfDib), second);
  EXPECT_EQ(GetClipboardData(1), text);
  EXPECT_EQ(GetClipboardData(2), 0u);
  EXPECT_EQ(SetClipboardData(kCfDib, 12345), 0u);  // not a block
  EXPECT_TRUE(CloseClipboard());

  // The data stays for the next opener, on any thread.
  std::thread([&] {
    ASSERT_TRUE(OpenClipboard(0));
    EXPECT_EQ(GetClipboardData(kCfDib), second);
    EXPECT_EQ(GlobalLock(second)[23], 2);
    GlobalUnlock(second);
    CloseClipboard();
  }).join();

  ASSERT_TRUE(OpenClipboard(0));
  EXPECT_TRUE(EmptyClipboard());
  EXPECT_EQ(GetClipboardData(kCfDib), 0u);
  EXPECT_EQ(GlobalSize(second), 0u);
  EXPECT_EQ(GlobalSize(text), 0u);
  CloseClipboard();
  EXPECT_EQ(LiveObjectCount(), live);
}

TEST_F(ClipboardTest, ABlockFreedBehindTheClipboardsBackIsHarmless) {
  ASSERT_TRUE(OpenClipboard(0));
  const HGLOBAL block = Block(8, 1);
  ASSERT_EQ(SetClipboardData(kCfDib, block), block);
  GlobalFree(block);  // a caller error; the stale handle must stay harmless
  EXPECT_EQ(GlobalLock(GetClipboardData(kCfDib)), nullptr);
  EXPECT_TRUE(EmptyClipboard());
  CloseClipboard();
}

}  // namespace
}  // namespace zoetra
