// A list of pictures, clips and animated pictures, mixed, into one GIF:
// runs of pictures go to the conversion as they are, clips in batches as
// they are decoded (twice for a palette that counts first).
#include "pipeline/convert_list.hpp"

#include <algorithm>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "pipeline/clip_source.hpp"
#include "pipeline/session.hpp"
#include "pipeline/source.hpp"

namespace zoetra::pipeline {
namespace {

// One list through one session: its kinds, read once to open the clips, and
// the passes over it.
class ListConversion {
 public:
  ListConversion(const std::vector<PictureSource>& pictures, const BuilderOptions& options, unsigned threads,
                 const std::vector<SourceKind>& kinds, GifStream& out, std::int64_t kept_bytes)
      : pictures_(pictures),
        options_(options),
        threads_(threads),
        kinds_(kinds),
        expected_(pictures.size(), 1),
        kept_delays_(pictures.size()),
        // A few frames for every thread, so that the workers rarely wait for the decoder.
        batch_frames_(2 * std::size_t{std::max(1u, threads)} + 2),
        session_(options, threads, &out, Session::Again::Given, {}, kept_bytes) {
    // Every clip is opened before any work: one that cannot be read fails
    // now, and the frames expected make the progress.
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      if (kinds[i] == SourceKind::Picture) continue;
      expected_[i] = std::max<std::int64_t>(1, ClipReader(pictures[i].File(), kinds[i], options, threads).Expected());
    }
    session_.Total(std::accumulate(expected_.begin(), expected_.end(), std::int64_t{0}));
  }

  std::int64_t Run(BuilderReport* report) {
    if (session_.CountsFirst()) {
      Pass(true);
      session_.Seal();
    }
    Pass(false);
    const std::int64_t frames = session_.Finish(report);
    if (report != nullptr) report->warnings = std::move(warnings_);
    return frames;
  }

 private:
  void Pass(bool counting) {
    const std::size_t n = pictures_.size();
    for (std::size_t i = 0; i < n;) {
      if (kinds_[i] != SourceKind::Picture) {
        Clip(i++, counting);
        continue;
      }
      std::size_t j = i;
      while (j < n && kinds_[j] == SourceKind::Picture) ++j;
      // Frame numbers are no longer list places: failures name their file.
      session_.Add(PictureList(std::span<const PictureSource>(pictures_).subspan(i, j - i), options_.auto_orient, true));
      i = j;
    }
  }

  void Clip(std::size_t i, bool counting) {
    // A clip whose frames were all kept by the counting pass is not decoded
    // again: its delays are all the mapping pass needs.
    if (!counting && !kept_delays_[i].empty()) {
      session_.Add(KeptFrames(std::move(kept_delays_[i])));
      return;
    }
    const std::string& name = pictures_[i].File();
    ClipReader reader(name, kinds_[i], options_, threads_);
    ClipFrames batch;
    const std::int64_t first = session_.Frames().Counted();
    std::int64_t through = expected_[i];  // frames of this clip, counted from its first
    bool any = false;
    while (reader.Fill(batch, batch_frames_)) {
      any = true;
      if (counting) {
        batch.KeepOnlyThrough(through);
        for (std::size_t k = 0; k < batch.Frames(); ++k) kept_delays_[i].push_back(batch.Delay(k));
        through -= static_cast<std::int64_t>(batch.Frames());
      }
      session_.Add(batch);
    }
    if (!any) NoFrame(name, reader);
    const Conversion& frames = session_.Frames();
    if (counting && (!frames.KeptThrough(frames.Counted()) || frames.Counted() == first)) {
      kept_delays_[i].clear();
      kept_delays_[i].shrink_to_fit();
    }
    // A clip read once has said all it had to say.
    if (!counting || !kept_delays_[i].empty()) {
      std::string warning = reader.Warning();
      if (!warning.empty()) warnings_.push_back(std::move(warning));
    }
  }

  [[noreturn]] void NoFrame(const std::string& name, const ClipReader& reader) const {
    const bool part = options_.start > 0 || options_.duration || options_.end;
    const std::string why = part ? "no frame of it lies between the start and the end asked for"
                                 : "no frame of it could be decoded";
    const std::string& stopped = reader.Stopped();
    RaiseError(kErrInvalidPicture,
               "Invalid picture (" + name + ": " + why + (stopped.empty() ? "" : " (" + stopped + ")") + ")");
  }

  const std::vector<PictureSource>& pictures_;
  const BuilderOptions& options_;
  unsigned threads_;
  const std::vector<SourceKind>& kinds_;
  std::vector<std::int64_t> expected_;
  std::vector<std::vector<std::int32_t>> kept_delays_;
  std::vector<std::string> warnings_;
  std::size_t batch_frames_;
  Session session_;
};

}  // namespace

std::int64_t ConvertList(const std::vector<PictureSource>& pictures, const BuilderOptions& options, unsigned threads,
                         GifStream& out, BuilderReport* report, std::int64_t kept_bytes) {
  std::vector<SourceKind> kinds(pictures.size(), SourceKind::Picture);
  bool clips = false;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (!pictures[i].InMemory()) kinds[i] = KindOf(pictures[i].File());
    clips = clips || kinds[i] != SourceKind::Picture;
  }
  if (!clips) {
    ConvertFrames(PictureList(pictures, options.auto_orient), options, threads, out, report);
    return static_cast<std::int64_t>(pictures.size());
  }
  return ListConversion(pictures, options, threads, kinds, out, kept_bytes).Run(report);
}

}  // namespace zoetra::pipeline
