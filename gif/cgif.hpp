// cGIF: the in-memory GIF document — one logical screen, an optional global
// palette, a loop count and an ordered, 1-based list of frames. Each frame owns
// (by shared reference) an 8-bit image raster whose memory row 0 is the top
// image row, a 1-bit transparency mask of the same size (set bit = transparent)
// and its placement, timing, disposal and optional local palette.
//
// Slots versus frames: a new document has no slots at all; after Destroy, or
// after removing the last frame, it keeps exactly one zeroed spare slot. Frame
// properties check nFrame against the slots that exist, not FramesCount.
//
// Throws zoetra::Error: 9 (index out of range) for a slot that does not exist
// and for FrameRemove/FrameMove* outside the frames; 6 (overflow) from
// FrameInsert past 32767 frames, ScreenPixelAspectRatio outside 15/64..270/64
// after rounding, and FrameDisposalMethod outside 0..255. A failed setter
// changes nothing. Save, SaveToBuffer, LoadFromFile never raise.
//
// Palette tables are 1024 bytes (256 entries blue, green, red, 0). The pointers
// handed out are non-owning: the global table lives as long as the document, a
// frame's table until the next FrameInsert, FrameRemove, move, load or Destroy.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/export.hpp"
#include "platform/drawing/gdi.hpp"
#include "raster/cdib.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra {

namespace mGIFLZWEnc {
class ByteSink;
}

// Makes the picture loader read GIF files (their first frame) through this
// codec. Until it is called, platform::LoadPicture refuses GIF files. The
// component's conversions and the zoetra command call it themselves; any other
// host that loads pictures calls it once at start-up. Safe to call again and
// from several threads at once.
void RegisterGifPictures();

class cGIF {
 public:
  static constexpr std::size_t kPaletteBytes = 1024;
  static constexpr std::int16_t kMaxFrames = 32767;

  cGIF();
  ~cGIF();
  cGIF(const cGIF&) = delete;
  cGIF& operator=(const cGIF&) = delete;
  cGIF(cGIF&&) noexcept = default;
  cGIF& operator=(cGIF&&) noexcept = default;

  // --- reader (gif/cgif_load.cpp): flag results, never raise except as documented there ---
  bool LoadFromFile(std::string_view Filename);
  bool LoadFromStream(std::span<const std::uint8_t> Stream);
  // What the last load found; Destroy (and so every load) resets them. The
  // count of the last looping block as stored (0 = forever, up to 65535, also
  // where AnimationLoops cannot hold it), or -1 when the file had none; and
  // whether the load reached the trailer (false for a file that ends early,
  // and for a load stopped at a document limit).
  std::int32_t LoadedLoopCount() const { return loaded_loop_count_; }
  bool LoadedTrailer() const { return loaded_trailer_; }
  // Whether the load stopped before the trailer at a host limit (the frame
  // count, the document's pixels, the largest raster) rather than at the end
  // of the data; the last of LoadWarnings then names the frame and the limit.
  bool LoadedToLimit() const { return loaded_to_limit_; }
  // What the load passed over, for people, in file order: blocks too short for
  // their fields (ignored), frames left empty as damaged, the limit it stopped
  // at. At most kMaxLoadWarnings + 2 lines: the rest are counted in one line.
  const std::vector<std::string>& LoadWarnings() const { return load_warnings_; }
  static constexpr std::size_t kMaxLoadWarnings = 16;
  // LoadFromStream for the picture loader: stops after the first image, and
  // raises 481 (platform::CheckPictureSize) when that image is over the
  // picture limits, before its rasters are made.
  bool LoadFirstImage(std::span<const std::uint8_t> Stream);

  // --- writer (gif/cgif_save.cpp) ---
  // Replaces Filename with a complete GIF file, or leaves it untouched and
  // returns false. Stores the computed packed byte in the screen record.
  bool Save(std::string_view Filename);
  // The same bytes into memory; on failure `out` is left empty and false returned.
  bool SaveToBuffer(std::vector<std::uint8_t>& out);
  // Threads that LZW-encode frames during a save (1, the default: the calling
  // thread alone). The bytes written are the same for every value.
  void SaveThreads(unsigned threads) { save_threads_ = threads; }

  // --- model (gif/cgif.cpp) ---
  void Destroy();
  void FrameInsert(std::int16_t nFrame, std::int16_t Width, std::int16_t Height);
  void FrameRemove(std::int16_t nFrame);
  // Removes every frame f with Marked[f - 1] != 0 in one pass (entries past
  // FramesCount are ignored); the rest keep their order. The same as
  // FrameRemove on each marked frame, without moving the later frames each time.
  void FrameRemoveMarked(std::span<const std::uint8_t> Marked);
  void FrameMoveUp(std::int16_t nFrame);
  void FrameMoveDown(std::int16_t nFrame);

  // --- drawing (gif/cgif_draw.cpp) ---
  // Draws frame nFrame alone onto hDC; cGIFComposer (gif/gif_compose.hpp) shows
  // frames over one another as a viewer does.
  void FrameDraw(platform::HDC hDC, std::int16_t nFrame, std::int16_t Left, std::int16_t Top, float ScaleFactor,
                 bool ScreenCrop) const;
  void FrameMask(std::int16_t nFrame, std::uint8_t TransparentColorIndex);

  // --- document properties ---
  std::int16_t AnimationLoops() const { return animation_loops_; }
  void AnimationLoops(std::int16_t New_AnimationLoops) { animation_loops_ = New_AnimationLoops; }
  // Whether Save writes the looping block (AnimationLoops: 0 forever, else
  // the repeat count as 16 unsigned bits). Without it viewers play the frames
  // once. On by default and after Destroy.
  bool LoopBlock() const { return loop_block_; }
  void LoopBlock(bool New_LoopBlock) { loop_block_ = New_LoopBlock; }
  std::int16_t ScreenWidth() const;
  void ScreenWidth(std::int16_t New_ScreenWidth);
  std::int16_t ScreenHeight() const;
  void ScreenHeight(std::int16_t New_ScreenHeight);
  // The screen size and frame positions are unsigned 16 bits in the file; the
  // int16 properties keep those bits. These give them as the file means them,
  // 0 to 65535, for readers, describers and the composer.
  std::int32_t ScreenWidthU16() const { return screen_[0] | (screen_[1] << 8); }
  std::int32_t ScreenHeightU16() const { return screen_[2] | (screen_[3] << 8); }
  std::int32_t FrameLeftU16(std::int16_t nFrame) const {
    return static_cast<std::uint16_t>(FrameLeft(nFrame));
  }
  std::int32_t FrameTopU16(std::int16_t nFrame) const {
    return static_cast<std::uint16_t>(FrameTop(nFrame));
  }
  std::uint8_t ScreenBackgroundColorIndex() const { return screen_[kScreenBackground]; }
  void ScreenBackgroundColorIndex(std::uint8_t New_ScreenBackgroundColorIndex) {
    screen_[kScreenBackground] = New_ScreenBackgroundColorIndex;
  }
  float ScreenPixelAspectRatio() const;
  void ScreenPixelAspectRatio(float New_ScreenPixelAspectRatio);
  std::int16_t GlobalPaletteExists() const { return global_exists_; }
  void GlobalPaletteExists(std::int16_t New_GlobalPaletteExists) { global_exists_ = New_GlobalPaletteExists; }
  std::int16_t GlobalPaletteSorted() const { return global_sorted_; }
  void GlobalPaletteSorted(std::int16_t New_GlobalPaletteSorted) { global_sorted_ = New_GlobalPaletteSorted; }
  std::int16_t GlobalPaletteEntries() const { return global_entries_; }
  void GlobalPaletteEntries(std::int16_t New_GlobalPaletteEntries) { global_entries_ = New_GlobalPaletteEntries; }
  std::uint8_t* lpGlobalPalette() { return global_palette_.data(); }
  const std::uint8_t* lpGlobalPalette() const { return global_palette_.data(); }
  // Red + 256 x green + 65536 x blue; 0 when there is no global palette.
  std::int32_t GlobalPaletteRGBEntry(std::uint8_t nEntry) const;
  std::int16_t FramesCount() const { return frames_count_; }

  // --- frame properties (nFrame is 1-based; a slot that does not exist raises 9) ---
  std::shared_ptr<cDIB> FrameDIBXOR(std::int16_t nFrame) const;
  std::shared_ptr<cDIB> FrameDIBAND(std::int16_t nFrame) const;
  std::int16_t FrameDelay(std::int16_t nFrame) const;
  void FrameDelay(std::int16_t nFrame, std::int16_t New_FrameDelay);
  std::int16_t FrameInterlaced(std::int16_t nFrame) const;
  void FrameInterlaced(std::int16_t nFrame, std::int16_t New_FrameInterlaced);
  std::int16_t FrameLeft(std::int16_t nFrame) const;
  void FrameLeft(std::int16_t nFrame, std::int16_t New_FrameLeft);
  std::int16_t FrameTop(std::int16_t nFrame) const;
  void FrameTop(std::int16_t nFrame, std::int16_t New_FrameTop);
  std::int32_t FrameDisposalMethod(std::int16_t nFrame) const;
  void FrameDisposalMethod(std::int16_t nFrame, std::int32_t New_FrameDisposalMethod);
  std::int16_t FrameUseTransparentColor(std::int16_t nFrame) const;
  void FrameUseTransparentColor(std::int16_t nFrame, std::int16_t New_FrameUseTransparentColor);
  std::uint8_t FrameTransparentColorIndex(std::int16_t nFrame) const;
  void FrameTransparentColorIndex(std::int16_t nFrame, std::uint8_t New_FrameTransparentColorIndex);
  std::int16_t FrameUserInput(std::int16_t nFrame) const;
  void FrameUserInput(std::int16_t nFrame, std::int16_t New_FrameUserInput);
  std::uint8_t* lpLocalPalette(std::int16_t nFrame);
  const std::uint8_t* lpLocalPalette(std::int16_t nFrame) const;
  // Red + 256 x green + 65536 x blue of the frame's table, used or not.
  std::int32_t LocalPaletteRGBEntry(std::int16_t nFrame, std::uint8_t nEntry) const;
  std::int16_t LocalPaletteUsed(std::int16_t nFrame) const;
  void LocalPaletteUsed(std::int16_t nFrame, std::int16_t New_LocalPaletteUsed);
  std::int16_t LocalPaletteSorted(std::int16_t nFrame) const;
  void LocalPaletteSorted(std::int16_t nFrame, std::int16_t New_LocalPaletteSorted);
  std::int16_t LocalPaletteEntries(std::int16_t nFrame) const;
  void LocalPaletteEntries(std::int16_t nFrame, std::int16_t New_LocalPaletteEntries);

  // --- what the loader filled in (gif/cgif_load.cpp) ---
  // Signature and version text of the last load ("GIF", "87a"/"89a"); empty after Destroy.
  const std::string& Signature() const { return signature_; }
  const std::string& Version() const { return version_; }
  // The 7-byte logical screen record as in the file (the screen setters and
  // Save update it): width, height (little-endian), packed flags, background
  // index, aspect byte.
  const std::array<std::uint8_t, 7>& ScreenRecord() const { return screen_; }
  // The slots that exist (see above): FramesCount, or one more for the spare
  // slot and for a graphic control block that no image followed.
  std::int32_t SlotsCount() const { return static_cast<std::int32_t>(slots_.size()); }

 private:
  static constexpr std::size_t kScreenBackground = 5;
  static constexpr std::size_t kScreenAspect = 6;

  struct FrameRecord {
    std::shared_ptr<cDIB> image;
    std::shared_ptr<cDIB> mask;
    std::int16_t left = 0;
    std::int16_t top = 0;
    std::int16_t interlaced = 0;
    std::int16_t use_transparent = 0;
    std::int16_t transparent_index = 0;
    std::int16_t delay = 0;
    std::uint8_t disposal = 0;
    std::int16_t user_input = 0;
    std::int16_t local_used = 0;
    std::int16_t local_sorted = 0;
    std::int16_t local_entries = 0;
    std::array<std::uint8_t, kPaletteBytes> local_palette{};
  };

  FrameRecord& Slot(std::int16_t nFrame);
  const FrameRecord& Slot(std::int16_t nFrame) const;
  static void CreateRasters(FrameRecord& record, std::int32_t Width, std::int32_t Height);
  bool Load(std::span<const std::uint8_t> Stream, bool FirstImageOnly);
  // The loader's way of filling the document in file order.
  // Grows the slot array to at least n slots, keeping records; new slots are
  // zeroed with no rasters. FramesCount is not changed. n above 32767 raises 6.
  void EnsureSlots(std::int32_t n);
  // Sets FramesCount after a load; 0..SlotsCount(), else 9.
  void SetFramesCount(std::int16_t n);
  // Writes the whole file to `out`; false on any failure, never raises.
  bool WriteDocument(mGIFLZWEnc::ByteSink& out);
  // Keeps a load warning, or counts it once kMaxLoadWarnings are kept.
  void Warn(std::string text);

  std::string signature_;
  std::string version_;
  std::array<std::uint8_t, 7> screen_{};
  std::int16_t animation_loops_ = 0;
  bool loop_block_ = true;
  std::int16_t global_exists_ = 0;
  std::int16_t global_sorted_ = 0;
  std::int16_t global_entries_ = 0;
  std::array<std::uint8_t, kPaletteBytes> global_palette_{};
  std::vector<FrameRecord> slots_;  // slot n is slots_[n - 1]
  std::int16_t frames_count_ = 0;
  std::int32_t loaded_loop_count_ = -1;
  bool loaded_trailer_ = false;
  bool loaded_to_limit_ = false;
  std::vector<std::string> load_warnings_;
  std::size_t warnings_dropped_ = 0;
  unsigned save_threads_ = 1;
};

}  // namespace zoetra

ZOETRA_PUBLIC_END
