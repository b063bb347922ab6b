// Variant, event log, yield hook and file services.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/base/error.hpp"
#include "platform/base/eventlog.hpp"
#include "platform/base/files.hpp"
#include "platform/base/variant.hpp"
#include "platform/base/yield.hpp"
#include "support/caught.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::platform {
namespace {

TEST(VariantTest, TextConversions) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant("a.gif").ToText(), "a.gif");
  EXPECT_EQ(Variant(std::int16_t{-15}).ToText(), "-15");
  EXPECT_EQ(Variant(std::int32_t{350}).ToText(), "350");
  EXPECT_EQ(Variant(2.5).ToText(), "2.5");
  EXPECT_EQ(Variant(true).ToText(), "True");
  Variant array(VariantArray::FromTexts({"x"}));
  EXPECT_EQ(test::Caught([&] { (void)array.ToText(); }).number(), kErrTypeMismatch);
}

TEST(VariantTest, ArraysWithAnyBoundsAndDimensions) {
  VariantArray a(VarType::Int32, {{-2, 1}, {5, 6}});
  EXPECT_EQ(a.Dimensions(), 2);
  EXPECT_EQ(a.LBound(1), -2);
  EXPECT_EQ(a.UBound(1), 1);
  EXPECT_EQ(a.LBound(2), 5);
  EXPECT_EQ(a.ElementCount(), 8);
  a.At({-2, 5}) = Variant(std::int32_t{1});
  a.At({1, 6}) = Variant(std::int32_t{2});
  EXPECT_EQ(a.At({-2, 5}).ToText(), "1");
  EXPECT_EQ(a.At({1, 6}).ToText(), "2");
  EXPECT_TRUE(a.At({0, 5}).IsEmpty());
  EXPECT_EQ(test::ErrorNumber([&] { a.At({-2}); }), kErrSubscript);  // one index for two dimensions
  EXPECT_EQ(test::ErrorNumber([&] { a.At({2, 5}); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { a.At({-2, 7}); }), kErrSubscript);
  EXPECT_EQ(test::ErrorNumber([&] { a.LBound(3); }), kErrSubscript);

  VariantArray empty(VarType::Text, {{0, -1}});
  EXPECT_EQ(empty.ElementCount(), 0);
  EXPECT_TRUE(Variant(std::move(empty)).IsArray());
  VariantArray texts = VariantArray::FromTexts({"a", "b"}, 3);
  EXPECT_EQ(texts.LBound(), 3);
  EXPECT_EQ(texts.At({4}).ToText(), "b");
}

TEST(EventLogTest, SinkReceivesEntriesAndFailuresAreIgnored) {
  std::vector<std::pair<EventType, std::string>> seen;
  EventLogSink previous = SetEventLogSink([&](EventType t, std::string_view s) { seen.emplace_back(t, s); });
  LogEvent(EventType::Error, "first");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, EventType::Error);
  EXPECT_EQ(seen[0].second, "first");
  SetEventLogSink([](EventType, std::string_view) { throw std::runtime_error("log down"); });
  EXPECT_NO_THROW(LogEvent(EventType::Error, "lost"));
  SetEventLogSink(std::move(previous));
}

TEST(YieldTest, HookIsPerThreadAndMayThrow) {
  int calls = 0;
  YieldHook previous = SetYieldHook([&](const YieldInfo& info) {
    ++calls;
    if (info.stage == YieldStage::Saved) throw std::runtime_error("cancel");
  });
  DoEvents({YieldStage::PictureStart, 1, 2});
  std::thread other([] { DoEvents({YieldStage::Saved, 0, 0}); });  // no hook there: nothing happens
  other.join();
  EXPECT_EQ(calls, 1);
  EXPECT_THROW(DoEvents({YieldStage::Saved, 2, 2}), std::runtime_error);
  SetYieldHook(std::move(previous));
  EXPECT_NO_THROW(DoEvents({YieldStage::Saved, 2, 2}));
}

TEST(FilesTest, AttributesLengthAndDelete) {
  test::TempDir dir;
  const std::string file = dir.Path("a.bin");
  std::ofstream(file, std::ios::binary) << "hello";
  ASSERT_TRUE(GetFileAttributes(file));
  EXPECT_EQ(*GetFileAttributes(file) & kFileAttributeDirectory, 0u);
  EXPECT_NE(*GetFileAttributes(dir.path()) & kFileAttributeDirectory, 0u);
  EXPECT_FALSE(GetFileAttributes(dir.Path("missing")));
  EXPECT_FALSE(GetFileAttributes(""));
  EXPECT_EQ(FileLen(file), 5);
  EXPECT_EQ(ReadFileBytes(file).size(), 5u);
  const Error e = test::Caught([&] { FileLen(dir.Path("missing")); });
  EXPECT_EQ(e.number(), kErrFileNotFound);
  EXPECT_EQ(e.description(), "File not found");
  EXPECT_THROW(ReadFileBytes(file, 4), Error);
  KillFile(file);
  EXPECT_FALSE(GetFileAttributes(file));
  EXPECT_THROW(KillFile(file), Error);
}

TEST(FilesTest, AtomicFileReplacesOnlyOnCommit) {
  test::TempDir dir;
  const std::string target = dir.Path("out.gif");
  std::ofstream(target, std::ios::binary) << "old content";
  {
    AtomicFile f;
    ASSERT_TRUE(f.Open(target));
    ASSERT_TRUE(f.Write("new", 3));
    EXPECT_EQ(test::ReadAll(target), "old content");  // nothing replaced before commit
  }  // abandoned
  EXPECT_EQ(test::ReadAll(target), "old content");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.gif"});

  AtomicFile f;
  ASSERT_TRUE(f.Open(target));
  std::vector<std::uint8_t> big(200000, 7);
  ASSERT_TRUE(f.Write(big));
  ASSERT_TRUE(f.Commit());
  EXPECT_EQ(test::ReadAll(target).size(), big.size());
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.gif"});
}

TEST(FilesTest, AtomicFileFailuresLeaveNothingBehind) {
  test::TempDir dir;
  AtomicFile f;
  EXPECT_FALSE(f.Open(dir.Path("no/such/dir/out.gif")));
  // Only regular files are replaced: never a directory, a pipe, or a link to one.
  std::filesystem::create_directory(dir.Path("taken"));
  ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir.Path("pipe"), dir.Path("link"));
  for (const char* name : {"taken", "pipe", "link"}) {
    EXPECT_FALSE(f.Open(dir.Path(name))) << name;
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_FALSE(f.Commit());
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path("taken")));
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Path("pipe")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link")));
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "pipe", "taken"}));
  // A link to a regular file is replaced like the file would be.
  std::ofstream(dir.Path("real"), std::ios::binary) << "old";
  std::filesystem::create_symlink(dir.Path("real"), dir.Path("to_real"));
  ASSERT_TRUE(f.Open(dir.Path("to_real")));
  ASSERT_TRUE(f.Write("new", 3));
  EXPECT_TRUE(f.Commit());
  EXPECT_EQ(test::ReadAll(dir.Path("to_real")), "new");
}

}  // namespace
}  // namespace zoetra::platform
