// The conversions' entry points. The classic calls, and the options calls
// with the first picture's palette, build a whole document
// (component/document_builder.hpp); the other palette modes stream their
// frames through the pipeline (pipeline/conversion.hpp).
#include <algorithm>
#include <string>
#include <vector>

#include "component/document_builder.hpp"
#include "component/mdfile.hpp"
#include "component/stream_output.hpp"
#include <zoetra/zoetra.hpp>
#include "gif/cgif.hpp"
#include "pipeline/clip_source.hpp"
#include "pipeline/convert_list.hpp"
#include "video/video_decoder.hpp"
#include "pipeline/source.hpp"
#include "platform/base/display_name.hpp"
#include "platform/base/files.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/yield.hpp"

namespace zoetra {

unsigned detail::ConversionThreads(std::int64_t asked) {
  const auto limit = static_cast<unsigned>(std::max(1, platform::GetLimits().max_threads));
  const auto cores = static_cast<unsigned>(platform::HardwareThreads());
  return std::min(asked > 0 ? static_cast<unsigned>(std::min<std::int64_t>(asked, limit)) : cores, limit);
}

void detail::CheckSources(const std::vector<PictureSource>& pictures, bool document) {
  pipeline::CheckPixels(pictures);
  if (pictures.empty()) RaiseInvalidArgument("no pictures were given");
  if (document && pictures.size() > static_cast<std::size_t>(cGIF::kMaxFrames)) {
    RaiseError(kErrOverflow, "Overflow: " + std::to_string(pictures.size()) +
                                 " pictures, but the first picture's palette keeps every frame in a document of "
                                 "at most 32767 frames; the palette modes all and frame take any number");
  }
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].InMemory()) continue;
    const std::string& name = pictures[i].File();
    if (name.find('\0') != std::string::npos) {
      RaiseInvalidArgument("the name of picture " + std::to_string(i + 1) + " holds a NUL byte");
    }
    platform::CheckReadable(name);
  }
}

std::string detail::SuccessText(std::string_view output, std::int64_t frames, bool singular) {
  return "OK, Animated GIF: " + mdFile::GetFileBaseName(output, 0) + "." + mdFile::GetFileExtension(output) +
         " created with " + std::to_string(frames) + (singular && frames == 1 ? " frame" : " frames");
}

namespace {

constexpr std::string_view kNotAnArray = "Input is not an variant Array.";
constexpr std::string_view kSaveFailed = "Unexpected error saving GIF file. (Can be access denied)";

// Writing the GIF over one of its own pictures would destroy that picture:
// refused before any work, whichever path or link names the same file.
void CheckOutputIsNoInput(const platform::VariantArray& list, const platform::Variant& oFile,
                          const std::vector<PictureSource>* sources) {
  std::string output;
  try {
    output = oFile.ToText();
  } catch (const Error&) {
    return;  // the save reports it, in its turn
  }
  if (!platform::GetFileAttributes(output)) return;  // a new file is no picture
  const std::int32_t lower = list.LBound(1), upper = list.UBound(1);
  for (std::int64_t index = lower; index <= upper; ++index) {
    const std::size_t k = static_cast<std::size_t>(index - lower);
    if (sources != nullptr && (*sources)[k].InMemory()) continue;
    std::string name;
    try {
      name = list.At({static_cast<std::int32_t>(index)}).ToText();
    } catch (const Error&) {
      continue;  // not a name: the picture's own turn reports it
    }
    if (platform::SameFile(name, output)) {
      RaisePathAccess(output, "it is picture " + std::to_string(k + 1) + " of the list" +
                                  (name != output ? " (" + platform::DisplayName(name) + ")" : std::string()) +
                                  "; the GIF would overwrite it");
    }
  }
}

// A list that may not be an array, to one file, through a document.
// `sources` is given by the options calls (people's front doors): their
// list is checked first, and a failed save raises with the system's reason.
platform::Variant Convert(const platform::Variant& sFile, const platform::Variant& oFile,
                          const BuilderOptions& settings, std::int16_t showError,
                          const std::vector<PictureSource>* sources = nullptr) {
  const platform::VariantArray* list = sFile.Array();
  if (list == nullptr) {
    if (showError != 0) RaiseComponentError(kNotAnArray);
    return platform::Variant(std::string(kNotAnArray));
  }
  const auto run = [&]() -> platform::Variant {
    if (sources != nullptr) detail::CheckSources(*sources, true);
    CheckOutputIsNoInput(*list, oFile, sources);
    std::string output;
    const document::Outcome outcome = document::Build(*list, settings, sources, [&](cGIF& document) {
      output = oFile.ToText();
      // The writer replaces an existing file only with a complete new one, so
      // nothing is deleted first: a failed save leaves the old file as it was.
      return document.Save(output);
    });
    if (!outcome.saved) {
      if (sources != nullptr) pipeline::RaiseCannotSave(output);
      if (showError != 0) RaiseComponentError(kSaveFailed);
      return platform::Variant(std::string(kSaveFailed));
    }
    platform::DoEvents({platform::YieldStage::Saved, outcome.frames, outcome.frames});
    return platform::Variant(detail::SuccessText(output, outcome.frames));
  };
  if (showError == 0) return run();
  return WithCatchLogRaise(run);
}

std::vector<std::uint8_t> ConvertToBuffer(const platform::VariantArray& list, const BuilderOptions& settings,
                                          const std::vector<PictureSource>* sources = nullptr) {
  if (sources != nullptr) detail::CheckSources(*sources, true);
  std::vector<std::uint8_t> bytes;
  const document::Outcome outcome =
      document::Build(list, settings, sources, [&](cGIF& document) { return document.SaveToBuffer(bytes); });
  if (!outcome.saved) RaiseComponentError(kSaveFailed);
  return bytes;
}

// The classic signatures: the first picture's palette, every core. Their
// switches count only as 1, as they always have.
BuilderOptions Classic(std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize, std::int16_t SwapRG) {
  BuilderOptions o;
  o.palette = PaletteMode::First;
  o.delay_ms = lDelay;
  o.gray = isGray == 1;
  o.optimize = doOptimize == 1;
  o.swap_rg = SwapRG == 1;
  return o;
}

// The names of a mixed list; pictures in memory are named by their place.
platform::VariantArray NamesOf(const std::vector<PictureSource>& pictures) {
  std::vector<std::string> names;
  names.reserve(pictures.size());
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    names.push_back(pictures[i].InMemory() ? "picture " + std::to_string(i + 1) + " (in memory)"
                                           : pictures[i].File());
  }
  return platform::VariantArray::FromTexts(names, 0);
}

std::vector<PictureSource> FilesOf(const std::vector<std::string>& files) {
  return std::vector<PictureSource>(files.begin(), files.end());
}

// The list through the pipeline into `out`; returns the frames.
std::int64_t Stream(const std::vector<PictureSource>& pictures, const BuilderOptions& options,
                    detail::StreamOutput& out) {
  BuilderReport report;
  const std::int64_t frames =
      pipeline::ConvertList(pictures, options, detail::ConversionThreads(options.threads), out.Stream(), &report);
  out.Commit();
  if (options.report != nullptr) *options.report = std::move(report);
  return frames;
}

// The first picture's palette keeps a document of still pictures: clips are
// refused by name (the options only clips and the pipeline know are refused
// with the options, by CheckBuilderOptions).
void CheckForDocument(const std::vector<PictureSource>& pictures) {
  const auto refuse = [](const std::string& what) { RaiseInvalidArgument(what + kDocumentOnly); };
  for (const PictureSource& picture : pictures) {
    if (picture.InMemory() || !platform::GetFileAttributes(picture.File()) ||
        pipeline::KindOf(picture.File()) != pipeline::SourceKind::Clip) {
      continue;
    }
    // What no decoder reads is left to the picture loader's own words.
    try {
      const video::VideoDecoder clip(picture.File(), 1);
    } catch (const Error&) {
      continue;
    }
    refuse(platform::DisplayName(picture.File()) + " is a clip, which");
  }
}

// Options are checked first; with raise_errors every failure, theirs too,
// is raised as the component's own error.
template <class Body>
auto WithOptions(const BuilderOptions& options, Body&& body) {
  const auto run = [&] {
    CheckBuilderOptions(options);
    return body();
  };
  return options.raise_errors ? WithCatchLogRaise(run) : run();
}

}  // namespace

platform::Variant Zoetra::CreateZoetra(const platform::Variant& sFile, const platform::Variant& oFile,
                                       std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
                                       std::int16_t SwapRG, std::int16_t showError) {
  return Convert(sFile, oFile, Classic(lDelay, isGray, doOptimize, SwapRG), showError);
}

std::string Zoetra::CreateZoetra(const std::vector<std::string>& files, std::string_view output,
                                 std::int16_t lDelay, std::int16_t isGray, std::int16_t doOptimize,
                                 std::int16_t SwapRG, std::int16_t showError) {
  const platform::Variant list(platform::VariantArray::FromTexts(files, 0));
  return CreateZoetra(list, platform::Variant(output), lDelay, isGray, doOptimize, SwapRG, showError).ToText();
}

std::string Zoetra::CreateZoetra(const std::vector<std::string>& files, std::string_view output,
                                 const BuilderOptions& options) {
  return Create(FilesOf(files), output, options);
}

std::vector<std::uint8_t> Zoetra::CreateZoetraToBuffer(const std::vector<std::string>& files, std::int16_t lDelay,
                                                        std::int16_t isGray, std::int16_t doOptimize,
                                                        std::int16_t SwapRG) {
  return ConvertToBuffer(platform::VariantArray::FromTexts(files, 0), Classic(lDelay, isGray, doOptimize, SwapRG));
}

std::vector<std::uint8_t> Zoetra::CreateZoetraToBuffer(const std::vector<std::string>& files,
                                                       const BuilderOptions& options) {
  return CreateToBuffer(FilesOf(files), options);
}

std::string Zoetra::Create(const std::vector<PictureSource>& pictures, std::string_view output,
                           const BuilderOptions& options) {
  if (options.palette == PaletteMode::First) {
    const std::int16_t raise = options.raise_errors ? 1 : 0;
    WithOptions(options, [&] { CheckForDocument(pictures); });
    const std::string text =
        Convert(platform::Variant(NamesOf(pictures)), platform::Variant(output), options, raise, &pictures).ToText();
    // The document's own text, in the words the other modes use.
    return text == detail::SuccessText(output, 1) ? detail::SuccessText(output, 1, true) : text;
  }
  return WithOptions(options, [&] {
    detail::CheckSources(pictures, false);
    CheckOutputIsNoInput(NamesOf(pictures), platform::Variant(output), &pictures);
    detail::StreamOutput out(output);
    const std::int64_t frames = Stream(pictures, options, out);
    const auto reported = static_cast<std::int32_t>(std::min<std::int64_t>(frames, 0x7FFFFFFF));
    platform::DoEvents({platform::YieldStage::Saved, reported, reported});
    return detail::SuccessText(output, frames, true);
  });
}

std::vector<std::uint8_t> Zoetra::CreateToBuffer(const std::vector<PictureSource>& pictures,
                                                  const BuilderOptions& options) {
  if (options.palette == PaletteMode::First) {
    return WithOptions(options, [&] {
      CheckForDocument(pictures);
      return ConvertToBuffer(NamesOf(pictures), options, &pictures);
    });
  }
  return WithOptions(options, [&] {
    detail::CheckSources(pictures, false);
    std::vector<std::uint8_t> bytes;
    detail::StreamOutput out(bytes);
    Stream(pictures, options, out);
    return bytes;
  });
}

std::int64_t Zoetra::CreateToStream(const std::vector<PictureSource>& pictures, const ByteWriter& write,
                                    const BuilderOptions& options) {
  if (options.palette == PaletteMode::First) {
    const std::vector<std::uint8_t> bytes = CreateToBuffer(pictures, options);
    if (!write(bytes)) pipeline::RaiseCannotSave("the host's output");
    return static_cast<std::int64_t>(pictures.size());
  }
  return WithOptions(options, [&] {
    detail::CheckSources(pictures, false);
    detail::StreamOutput out(write);
    return Stream(pictures, options, out);
  });
}

}  // namespace zoetra
