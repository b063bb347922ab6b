// The animation builder: a list of picture files to one looping GIF file.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "colour/cpal8bpp.hpp"
#include "colour/mdither8bpp.hpp"
#include "component/mdfile.hpp"
#include "component/zoetra.hpp"
#include "gif/cgif.hpp"
#include "platform/arith.hpp"
#include "platform/limits.hpp"
#include "platform/picture_loader.hpp"
#include "platform/yield.hpp"
#include "postprocess/mgifext.hpp"
#include "raster/cdib.hpp"

namespace zoetra {
namespace {

constexpr std::string_view kNotAnArray = "Input is not an variant Array.";
constexpr std::string_view kSaveFailed = "Unexpected error saving GIF file. (Can be access denied)";

// Conversions running on this thread; a conversion entered while another one
// yields gets dithering state of its own, so the interrupted one resumes with
// its own palette copy and colour map.
thread_local int t_conversions = 0;

class ConversionDepth {
 public:
  ConversionDepth() { ++t_conversions; }
  ~ConversionDepth() { --t_conversions; }
  bool nested() const { return t_conversions > 1; }
};

void Yield(platform::YieldStage stage, std::int32_t picture, std::int32_t pictures) {
  platform::DoEvents({stage, picture, pictures});
}

// Copies Entries x 4 bytes (computed in 16 bits) of the palette into a 1024-byte table.
void CopyPalette(const cPal8bpp& palette, std::uint8_t* table) {
  const std::int16_t bytes = Mul16(palette.Entries(), 4);
  const std::uint8_t* from = palette.lpPalette();
  if (bytes > 0) std::memcpy(table, from, std::min<std::size_t>(static_cast<std::size_t>(bytes), 1024));
}

// The host's document limits (platform/limits.hpp), refused before the memory is taken.
[[noreturn]] void RaiseDocumentLimit(const std::string& what) { RaiseError(kErrOutOfMemory, "Out of memory: " + what); }

struct Outcome {
  bool saved = false;
  std::int32_t frames = 0;
};

// Steps 4 to 22: builds the document from the list and saves it through `save`.
template <class SaveFn>
Outcome Build(const platform::VariantArray& list, std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
              std::int16_t SwapRG, SaveFn&& save) {
  using platform::YieldStage;
  ConversionDepth depth;
  mDither8bpp::DitherState own_state;
  std::optional<mDither8bpp::ScopedDitherState> own_scope;
  if (depth.nested()) own_scope.emplace(own_state);

  mDither8bpp::InitDither();
  mDither8bpp::SetPaletteMode(isGray == 1 ? 2 : 1);
  mDither8bpp::SetDitherMethod(2);

  cGIF document;
  cDIB work;
  cPal8bpp palette;
  document.Destroy();

  const std::int32_t lower = list.LBound(1);
  const std::int32_t upper = list.UBound(1);
  const std::int32_t pictures = upper < lower ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(
                                                        std::int64_t{upper} - lower + 1, 0x7FFFFFFF));
  const platform::Limits limits = platform::GetLimits();
  std::int64_t document_pixels = 0;
  std::int32_t i = 0;
  for (std::int64_t index = lower; index <= upper; ++index) {
    i = Add32(i, 1);
    Yield(YieldStage::PictureStart, i, pictures);
    // Frames past 32767 fail with the 16-bit overflow below; a lower host limit
    // is refused before the picture is loaded.
    if (i > limits.max_document_frames && i <= cGIF::kMaxFrames) {
      RaiseDocumentLimit("the list of " + std::to_string(pictures) + " pictures is over the limit of " +
                         std::to_string(limits.max_document_frames) + " frames (max_document_frames)");
    }
    const std::string name = list.At({static_cast<std::int32_t>(index)}).ToText();
    {
      // The decoded picture is let go as soon as the working raster holds it.
      const platform::Picture picture = platform::LoadPicture(name);
      if (work.CreateFromStdPicture(picture, true) == 0) {
        RaiseError(kErrInvalidPicture, "Invalid picture: " + name + " holds no bitmap (icon or metafile)");
      }
    }
    const std::int64_t frame_pixels = std::int64_t{work.Width()} * work.Height();
    if (frame_pixels > limits.max_document_pixels - document_pixels) {
      RaiseDocumentLimit("frames 1 to " + std::to_string(i) + " hold " + std::to_string(document_pixels + frame_pixels) +
                         " pixels, over the limit of " + std::to_string(limits.max_document_pixels) +
                         " (max_document_pixels)");
    }
    document_pixels += frame_pixels;
    const std::int16_t frame = Narrow<std::int16_t>(i);
    document.FrameInsert(frame, Narrow<std::int16_t>(work.Width()), Narrow<std::int16_t>(work.Height()));
    if (SwapRG == 1) work.SwapRG();
    Yield(YieldStage::ChannelSwap, i, pictures);
    work.Orientation(false, false, true);
    Yield(YieldStage::Flip, i, pictures);
    mDither8bpp::DitherTo8bpp(work, *document.FrameDIBXOR(frame), palette, i != 1);
    Yield(YieldStage::Dither, i, pictures);
    CopyPalette(palette, document.lpLocalPalette(frame));
    Yield(YieldStage::PaletteCopy, i, pictures);
    document.FrameDisposalMethod(frame, 3);
    document.FrameDelay(frame, RoundToInt16(static_cast<double>(lDelay) / 10.0));
  }

  document.ScreenWidth(Narrow<std::int16_t>(work.Width()));
  document.ScreenHeight(Narrow<std::int16_t>(work.Height()));
  work.Destroy();  // nothing reads the last picture after this: its memory is free for the save
  document.ScreenPixelAspectRatio(1.0f);
  document.GlobalPaletteExists(-1);
  document.GlobalPaletteEntries(palette.Entries());
  Yield(YieldStage::Screen, i, pictures);
  CopyPalette(palette, document.lpGlobalPalette());
  mGIFExt::CompactGlobalPalette(document);
  Yield(YieldStage::Compact, i, pictures);
  if (doOptimize == 1) mGIFExt::OptimizeFrames(document);
  Yield(YieldStage::Optimize, i, pictures);

  Outcome outcome;
  outcome.frames = i;
  outcome.saved = save(document);
  return outcome;
}

std::string SuccessText(std::string_view output, std::int32_t frames) {
  return "OK, Animated GIF: " + mdFile::GetFileBaseName(output, 0) + "." + mdFile::GetFileExtension(output) +
         " created with " + std::to_string(frames) + " frames";
}

}  // namespace

platform::Variant Zoetra::CreateZoetra(const platform::Variant& sFile, const platform::Variant& oFile,
                                       std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
                                       std::int16_t SwapRG, std::int16_t showError) {
  const platform::VariantArray* list = sFile.Array();
  if (list == nullptr) {
    if (showError != 0) RaiseComponentError(kNotAnArray);
    return platform::Variant(std::string(kNotAnArray));
  }
  const auto run = [&]() -> platform::Variant {
    std::string output;
    const Outcome outcome = Build(*list, lDelay, isGray, doOptimize, SwapRG, [&](cGIF& document) {
      output = oFile.ToText();
      // The writer replaces an existing file only with a complete new one, so
      // nothing is deleted first: a failed save leaves the old file as it was.
      return document.Save(output);
    });
    if (!outcome.saved) {
      if (showError != 0) RaiseComponentError(kSaveFailed);
      return platform::Variant(std::string(kSaveFailed));
    }
    platform::DoEvents({platform::YieldStage::Saved, outcome.frames, outcome.frames});
    return platform::Variant(SuccessText(output, outcome.frames));
  };
  if (showError == 0) return run();
  return WithCatchLogRaise(run);
}

std::string Zoetra::CreateZoetra(const std::vector<std::string>& files, std::string_view output,
                                 std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
                                 std::int16_t SwapRG, std::int16_t showError) {
  const platform::Variant list(platform::VariantArray::FromTexts(files, 0));
  return CreateZoetra(list, platform::Variant(output), lDelay, isGray, doOptimize, SwapRG, showError).ToText();
}

std::vector<std::uint8_t> Zoetra::CreateZoetraToBuffer(const std::vector<std::string>& files, std::int16_t lDelay,
                                                        std::int16_t isGray, std::int16_t doOptimize,
                                                        std::int16_t SwapRG) {
  const platform::VariantArray list = platform::VariantArray::FromTexts(files, 0);
  std::vector<std::uint8_t> bytes;
  const Outcome outcome = Build(list, lDelay, isGray, doOptimize, SwapRG,
                                [&](cGIF& document) { return document.SaveToBuffer(bytes); });
  if (!outcome.saved) RaiseComponentError(kSaveFailed);
  return bytes;
}

}  // namespace zoetra
