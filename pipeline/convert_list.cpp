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

std::int64_t ConvertList(const std::vector<PictureSource>& pictures, const BuilderOptions& options, unsigned threads,
                         GifStream& out, BuilderReport* report, std::int64_t kept_bytes) {
  const std::size_t n = pictures.size();
  std::vector<SourceKind> kinds(n, SourceKind::Picture);
  bool clips = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!pictures[i].InMemory()) kinds[i] = KindOf(pictures[i].File());
    clips = clips || kinds[i] != SourceKind::Picture;
  }
  if (!clips) {
    ConvertFrames(PictureList(pictures, options.auto_orient), options, threads, out, report);
    return static_cast<std::int64_t>(n);
  }
  // Every clip is opened before any work: one that cannot be read fails now,
  // and the frames expected make the progress.
  std::vector<std::int64_t> expected(n, 1);
  for (std::size_t i = 0; i < n; ++i) {
    if (kinds[i] != SourceKind::Picture) {
      expected[i] = std::max<std::int64_t>(1, ClipReader(pictures[i].File(), kinds[i], options, threads).Expected());
    }
  }
  const std::int64_t total = std::accumulate(expected.begin(), expected.end(), std::int64_t{0});
  // A clip whose frames were all kept by the counting pass is not decoded
  // again: its delays are all the mapping pass needs.
  std::vector<std::vector<std::int32_t>> kept_delays(n);
  Session session(options, threads, &out, Session::Again::Given, {}, kept_bytes);
  session.Total(total);
  std::vector<std::string> warnings;
  // Batches of decoded frames: a few for every thread, so that the workers
  // rarely wait for the decoder.
  const std::size_t batch_frames = 2 * std::size_t{std::max(1u, threads)} + 2;
  const auto pass = [&](bool counting) {
    ClipFrames batch;
    for (std::size_t i = 0; i < n;) {
      if (kinds[i] == SourceKind::Picture) {
        std::size_t j = i;
        while (j < n && kinds[j] == SourceKind::Picture) ++j;
        // Frame numbers are no longer list places: failures name their file.
        const PictureList run(std::span<const PictureSource>(pictures).subspan(i, j - i), options.auto_orient, true);
        session.Add(run);
        i = j;
        continue;
      }
      const std::string& name = pictures[i].File();
      if (!counting && !kept_delays[i].empty()) {
        session.Add(KeptFrames(std::move(kept_delays[i])));
        ++i;
        continue;
      }
      ClipReader reader(name, kinds[i], options, threads);
      const std::int64_t first = session.Frames().Counted();
      std::int64_t through = expected[i];  // frames of this clip, counted from its first
      bool any = false;
      while (reader.Fill(batch, batch_frames)) {
        any = true;
        if (counting) {
          batch.KeepOnlyThrough(through);
          for (std::size_t k = 0; k < batch.Frames(); ++k) kept_delays[i].push_back(batch.Delay(k));
          session.Add(batch);
          through -= static_cast<std::int64_t>(batch.Frames());
        } else {
          session.Add(batch);
        }
      }
      if (!any) {
        const bool part = options.start > 0 || options.duration || options.end;
        const std::string why = part ? "no frame of it lies between the start and the end asked for"
                                     : "no frame of it could be decoded";
        const std::string& stopped = reader.Stopped();
        RaiseError(kErrInvalidPicture,
                   "Invalid picture (" + name + ": " + why + (stopped.empty() ? "" : " (" + stopped + ")") + ")");
      }
      if (counting) {
        if (!session.Frames().KeptThrough(session.Frames().Counted()) || session.Frames().Counted() == first) {
          kept_delays[i].clear();
          kept_delays[i].shrink_to_fit();
        }
      }
      // A clip read once has said all it had to say.
      if (!counting || !kept_delays[i].empty()) {
        std::string warning = reader.Warning();
        if (!warning.empty()) warnings.push_back(std::move(warning));
      }
      ++i;
    }
  };
  if (session.CountsFirst()) {
    pass(true);
    session.Seal();
  }
  pass(false);
  const std::int64_t frames = session.Finish(report);
  if (report != nullptr) report->warnings = std::move(warnings);
  return frames;
}

}  // namespace zoetra::pipeline
