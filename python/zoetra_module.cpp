// The extension behind the Python package `zoetra` (python/zoetra/__init__.py
// is its public face: it turns paths, PIL images and grey arrays into what
// these functions take, and documents them). Paths arrive as bytes
// (os.fsencode), so every name the system allows gets through; text goes back
// as os.fsdecode would make it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "gif/gif_frame_composer.hpp"
#include "gif/gif_info.hpp"
#include "gif/gif_scan.hpp"
#include "platform/base/display_name.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/limits.hpp"
#include "platform/base/yield.hpp"
#include "raster/cdib.hpp"

namespace py = pybind11;

namespace zoetra::python {
namespace {

using Array = py::array;

// A picture of the list as the extension receives it: a path, or an array.
using Picture = std::variant<py::bytes, Array>;

// Checks an array before any work: uint8, H x W x 3 or 4, pixels and channels
// packed (rows may be apart). Raises TypeError or ValueError naming the picture.
PicturePixels PixelsOf(const Array& a, std::size_t number) {
  const std::string which = "picture " + std::to_string(number) + ": ";
  if (!a.dtype().is(py::dtype::of<std::uint8_t>())) {
    throw py::type_error(which + "an array of dtype " + std::string(py::str(a.dtype())) +
                         "; zoetra takes uint8 arrays of H x W x 3 (RGB) or H x W x 4 (RGBA)");
  }
  if (a.ndim() != 3 || (a.shape(2) != 3 && a.shape(2) != 4)) {
    std::string shape;
    for (py::ssize_t i = 0; i < a.ndim(); ++i)
      shape += (i ? " x " : "") + std::to_string(a.shape(i));
    throw py::value_error(which + "an array of shape " + (shape.empty() ? "()" : shape) +
                          "; zoetra takes H x W x 3 (RGB) or H x W x 4 (RGBA)");
  }
  const py::ssize_t h = a.shape(0), w = a.shape(1), c = a.shape(2);
  if (h <= 0 || w <= 0) throw py::value_error(which + "an empty array");
  if (h > 0x7FFFFFFF || w > 0x7FFFFFFF)
    throw py::value_error(which + "an array too large for a picture");
  if (a.strides(2) != 1 || a.strides(1) != c || a.strides(0) < w * c) {
    throw py::value_error(
        which +
        "the array's pixels are not contiguous in memory (a reversed or sliced view?); "
        "pass numpy.ascontiguousarray(picture)");
  }
  PicturePixels p;
  p.data = static_cast<const std::uint8_t*>(a.data());
  p.width = static_cast<std::int32_t>(w);
  p.height = static_cast<std::int32_t>(h);
  p.stride = static_cast<std::size_t>(a.strides(0));
  p.layout = c == 3 ? PixelLayout::RGB : PixelLayout::RGBA;
  return p;
}

// The types zoetra.Error and zoetra.GIF, set when the module is imported.
py::handle g_error_type;
py::handle g_gif_type;

// Bytes from the library (paths, messages) as the str os.fsdecode gives.
py::str Text(std::string_view bytes) {
  PyObject* text =
      PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<py::ssize_t>(bytes.size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// zoetra.Error for a failure: the number as documented (the component's own,
// 0x800403E9, as unsigned 32 bits), the picture (1-based, 0 for none) and the
// path that failed, if any.
py::object ErrorOf(const Error& e, std::int32_t picture, const std::optional<std::string>& path) {
  return g_error_type(py::int_(static_cast<std::uint32_t>(e.number())), Text(e.description()),
                      Text(e.source()),
                      picture > 0 ? py::object(py::int_(picture)) : py::object(py::none()),
                      path ? py::object(Text(*path)) : py::object(py::none()));
}

// A wrong argument (error 5: an option out of its range, no pictures, a bad
// picture in memory) is a ValueError, as Python callers expect; the rest
// zoetra.Error.
[[noreturn]] void RaisePython(const Error& e, std::int32_t picture,
                              const std::optional<std::string>& path) {
  if (e.number() == kErrInvalidArgument) {
    PyErr_SetObject(PyExc_ValueError, Text(InvalidArgumentReason(e)).ptr());
    throw py::error_already_set();
  }
  py::object value = ErrorOf(e, picture, path);
  PyErr_SetObject(g_error_type.ptr(), value.ptr());
  throw py::error_already_set();
}

// Follows a conversion on this thread: tells which picture a failure belongs
// to, and stops the conversion at the next stage when Python has a signal to
// handle (Ctrl-C), raising what its handler raises. Signal handlers run on the
// main thread only, so other threads never wait for the GIL here. The host's
// own hook, if any, is put back afterwards.
class ConversionWatch {
 public:
  ConversionWatch() {
    const py::module_ threading = py::module_::import("threading");
    checks_signals_ = threading.attr("current_thread")().is(threading.attr("main_thread")());
    previous_ = platform::SetYieldHook([this](const platform::YieldInfo& info) { Seen(info); });
  }
  ~ConversionWatch() { platform::SetYieldHook(std::move(previous_)); }
  ConversionWatch(const ConversionWatch&) = delete;
  ConversionWatch& operator=(const ConversionWatch&) = delete;
  std::int32_t picture() const { return picture_; }

 private:
  void Seen(const platform::YieldInfo& info) {
    picture_ = info.stage <= platform::YieldStage::PaletteCopy ? info.picture : 0;
    // Once saved, the new file is in place: the signal is raised on return.
    if (!checks_signals_ || info.stage == platform::YieldStage::Saved) return;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }

  platform::YieldHook previous_;
  std::int32_t picture_ = 0;
  bool checks_signals_ = false;
};

// The pictures that came as files: each one's 1-based place and name, in order.
using Files = std::vector<std::pair<std::int32_t, std::string>>;

std::optional<std::string> PathOf(const Files& files, std::int32_t picture) {
  const auto at = std::lower_bound(files.begin(), files.end(), picture,
                                   [](const auto& file, std::int32_t p) { return file.first < p; });
  if (at == files.end() || at->first != picture) return std::nullopt;
  return at->second;
}

// Raises a conversion's failure as belonging to the picture the watch saw; a
// failure raised before any stage (a missing or unreadable file, found before
// any work) to the picture whose file name, the longest one, its text holds;
// else, when its text names the output, to the output.
[[noreturn]] void RaiseFailure(const Error& e, std::int32_t picture, const Files& files,
                               const std::optional<std::string>& output) {
  // A text that names a file names the picture (in lists with clips, frame
  // numbers are no longer list places).
  std::size_t longest = 0;
  for (const auto& [number, file] : files) {
    const std::string name = platform::DisplayName(file);
    if (name.size() > longest && e.description().find(name) != std::string::npos) {
      longest = name.size();
      picture = number;
    }
  }
  if (picture == 0 && output &&
      e.description().find(platform::DisplayName(*output)) != std::string::npos) {
    RaisePython(e, 0, output);
  }
  RaisePython(e, picture, PathOf(files, picture));
}

// The options of every conversion, checked by the library as for every front
// end; a delay the file cannot hold as asked gives a UserWarning.
BuilderOptions OptionsOf(std::int64_t delay_ms, std::optional<double> fps, bool gray, bool optimize,
                         bool swap_rg, const std::string& palette, std::int64_t threads,
                         std::optional<std::int64_t> loop, std::int64_t fit_width,
                         std::int64_t fit_height, std::optional<std::uint32_t> background,
                         bool auto_orient, double start, std::optional<double> duration, std::optional<double> end,
                         std::int64_t width, std::int64_t height, std::int64_t quality) {
  BuilderOptions options;
  options.delay_ms = delay_ms;
  options.fps = fps;
  options.gray = gray;
  options.optimize = optimize;
  options.swap_rg = swap_rg;
  try {
    options.palette = ParsePaletteMode(palette);
  } catch (const Error& e) {
    RaisePython(e, 0, std::nullopt);
  }
  options.threads = threads;
  options.loop = loop ? *loop : kPlayOnce;
  options.fit_width = fit_width;
  options.fit_height = fit_height;
  options.background = background;
  options.auto_orient = auto_orient;
  options.start = start;
  options.duration = duration;
  options.end = end;
  options.width = width;
  options.height = height;
  options.quality = quality;
  try {
    CheckBuilderOptions(options);
  } catch (const Error& e) {
    RaisePython(e, 0, std::nullopt);
  }
  if (const std::string note = DelayNote(options); !note.empty()) {
    if (PyErr_WarnEx(PyExc_UserWarning, note.c_str(), 1) != 0) throw py::error_already_set();
  }
  return options;
}

// A picture as the library takes it; `number` names it when it is refused.
PictureSource SourceOf(const Picture& picture, std::size_t number) {
  if (const auto* path = std::get_if<py::bytes>(&picture)) return PictureSource(std::string(*path));
  return PictureSource(PixelsOf(std::get<Array>(picture), number));
}

py::object Create(const std::vector<Picture>& pictures, const std::optional<py::bytes>& output,
                  const BuilderOptions& options) {
  std::vector<PictureSource> list;
  list.reserve(pictures.size());
  Files files;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    list.push_back(SourceOf(pictures[i], i + 1));
    if (!list.back().InMemory())
      files.emplace_back(static_cast<std::int32_t>(i + 1), list.back().File());
  }
  // `pictures` holds the arrays for as long as the conversion reads them.
  ConversionWatch watch;
  BuilderReport report;
  BuilderOptions reporting = options;
  reporting.report = &report;
  // What a damaged clip left out is a UserWarning naming it.
  const auto warn = [&] {
    for (const std::string& warning : report.warnings) {
      if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
    }
  };
  if (output) {
    const std::string target(*output);
    std::string text;
    try {
      py::gil_scoped_release unlocked;
      text = Zoetra().Create(list, target, reporting);
    } catch (const Error& e) {
      RaiseFailure(e, watch.picture(), files, target);
    }
    warn();
    return Text(text);
  }
  std::vector<std::uint8_t> bytes;
  try {
    py::gil_scoped_release unlocked;
    bytes = Zoetra().CreateToBuffer(list, reporting);
  } catch (const Error& e) {
    RaiseFailure(e, watch.picture(), files, std::nullopt);
  }
  warn();
  // Made straight from the buffer: a GIF as big as memory allows is copied once.
  return g_gif_type(
      py::memoryview::from_memory(bytes.data(), static_cast<py::ssize_t>(bytes.size())));
}

// zoetra.Writer's engine: the library's writer, its failures raised as
// create() raises them, the GIL released while it works. One call at a time:
// a second thread, or the output's write() calling back in, gets RuntimeError
// instead of a writer changed under the first call.
class FrameWriter {
 public:
  // `output`: a path, or a function given each piece of the GIF as bytes.
  FrameWriter(const std::variant<py::bytes, py::function>& output, const BuilderOptions& options) {
    try {
      if (const auto* path = std::get_if<py::bytes>(&output)) {
        path_ = std::string(*path);
        writer_.emplace(*path_, options);
      } else {
        write_ = std::get<py::function>(output);
        writer_.emplace(
            ByteWriter([this](std::span<const std::uint8_t> bytes) { return Write(bytes); }),
            options);
      }
    } catch (const Error& e) {
      RaiseFailure(e, 0, files_, path_);
    }
  }
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  void Add(const Picture& picture, std::optional<std::int64_t> delay_ms) {
    const Call call(*this);
    const std::int64_t number = frames_ + 1;
    const PictureSource source = SourceOf(picture, static_cast<std::size_t>(number));
    if (!source.InMemory()) {
      files_.emplace_back(static_cast<std::int32_t>(std::min<std::int64_t>(number, 0x7FFFFFFF)),
                          source.File());
    }
    // The library copies the pixels before Add returns.
    Run([&] { delay_ms ? writer_->Add(source, *delay_ms) : writer_->Add(source); });
    frames_ = number;
  }

  std::int64_t Finish() {
    const Call call(*this);
    Run([&] { writer_->Finish(); });
    state_ = State::Finished;
    writer_.reset();
    return frames_;
  }

  // Finishes an open writer; after a failure, its own included, lets it go.
  void Close() {
    if (state_ == State::Open) {
      try {
        Finish();
        return;
      } catch (...) {
        if (!busy_) Abandon();
        throw;
      }
    }
    Abandon();
  }

  // Lets the writer go without output: an old file stays as it was.
  void Abandon() {
    if (busy_) throw std::runtime_error(kBusy);
    writer_.reset();
    if (state_ != State::Finished) state_ = State::Abandoned;
  }

  std::int64_t Frames() const { return frames_; }

 private:
  enum class State : std::uint8_t { Open, Failed, Finished, Abandoned };
  static constexpr const char* kBusy =
      "zoetra.Writer is in a call already (on another thread, or from the output's write)";

  class Call {
   public:
    explicit Call(FrameWriter& w) : w_(w) {
      if (w.busy_) throw std::runtime_error(kBusy);
      if (w.state_ == State::Finished) throw py::value_error("the writer is finished");
      if (w.state_ == State::Abandoned) throw py::value_error("the writer was closed unfinished");
      w.busy_ = true;
    }
    ~Call() { w_.busy_ = false; }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    FrameWriter& w_;
  };

  // `work` without the GIL; a failure stops the writer (the library refuses
  // every later call) and is raised as create() raises it, or as the
  // exception the output's write() raised.
  template <class F>
  void Run(F&& work) {
    ConversionWatch watch;
    try {
      py::gil_scoped_release unlocked;
      work();
    } catch (const Error& e) {
      if (state_ == State::Open) state_ = State::Failed;
      if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
      RaiseFailure(e, watch.picture(), files_, path_);
    } catch (...) {
      if (state_ == State::Open) state_ = State::Failed;
      throw;
    }
  }

  // Runs on the calling thread while the GIL is released.
  bool Write(std::span<const std::uint8_t> bytes) {
    py::gil_scoped_acquire gil;
    try {
      const py::object taken = write_(py::bytes(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<py::ssize_t>(bytes.size())));
      // An unbuffered file may take part of a piece; the GIF would lose the rest.
      if (py::isinstance<py::int_>(taken) && taken.cast<std::size_t>() < bytes.size()) {
        throw py::value_error(
            "the output's write() took " + std::to_string(taken.cast<std::size_t>()) + " of " +
            std::to_string(bytes.size()) + " bytes; give zoetra.Writer a buffered file");
      }
      return true;
    } catch (...) {
      pending_ = std::current_exception();
      return false;
    }
  }

  std::optional<std::string> path_;
  py::object write_;
  std::exception_ptr pending_;  // what write() raised, for the caller
  Files files_;
  std::optional<Writer> writer_;
  std::int64_t frames_ = 0;
  State state_ = State::Open;
  bool busy_ = false;
};

// The bytes of a GIF file, held while they are read.
struct GifBytes {
  explicit GifBytes(const py::buffer& data) : view(data.request()) {}
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view.ptr), static_cast<std::size_t>(view.size * view.itemsize)};
  }
  py::buffer_info view;
};

[[noreturn]] void RaiseNotGif() { RaiseError(kErrInvalidPicture, "Invalid picture: not a GIF file"); }

// Read from the file's blocks: no frame or document limit, memory that does
// not grow with the frames.
std::string InfoJson(const py::buffer& data, const py::bytes& name, const std::optional<py::bytes>& path) {
  const GifBytes held(data);
  std::string out;
  try {
    gif_info::Summary summary;
    gif_scan::Input survey(held.bytes());
    if (!gif_info::Survey(survey, summary)) RaiseNotGif();
    gif_scan::Input input(held.bytes());
    gif_scan::Scanner scan(input);
    if (!scan.Start()) RaiseNotGif();
    gif_info::Json(summary, scan, std::string(name), [&](const std::string& piece) { out += piece; });
  } catch (const Error& e) {
    RaisePython(e, 0, path ? std::optional<std::string>(*path) : std::nullopt);
  }
  return out;
}

// The frames of one GIF as a viewer shows them, composed one at a time as
// Python iterates: only the file's bytes and one screen stay in memory.
class FrameReader {
 public:
  FrameReader(const py::buffer& data, const std::optional<py::bytes>& path)
      : held_(data), input_(held_.bytes()), scan_(input_), composer_(scan_) {
    if (path) path_ = std::string(*path);
    try {
      gif_info::Summary summary;
      gif_scan::Input survey(held_.bytes());
      if (!gif_info::Survey(survey, summary) || !scan_.Start()) RaiseNotGif();
      frames_ = summary.frames;
      // Named by the Python error's path.
      platform::CheckAnimation("", summary.screen.width, summary.screen.height, frames_, survey.Size(), false);
      if (!composer_.Start()) RaiseError(kErrInvalidPicture, "Invalid picture: " + composer_.StartFailure());
    } catch (const Error& e) {
      RaisePython(e, 0, path_);
    }
  }

  py::array_t<std::uint8_t> Next() {
    bool shown = false;
    try {
      shown = composer_.Frame().index < frames_ && composer_.Next();
    } catch (const Error& e) {
      RaisePython(e, 0, path_);
    }
    if (!shown) throw py::stop_iteration();
    const cDIB& screen = composer_.Screen();
    const std::int32_t w = screen.Width(), h = screen.Height();
    py::array_t<std::uint8_t> frame(
        {static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w), py::ssize_t{3}});
    std::uint8_t* to = frame.mutable_data();
    const std::size_t stride = static_cast<std::size_t>(screen.BytesPerScanline());
    // Memory rows run bottom-up, pixels blue, green, red, 0.
    for (std::int32_t y = 0; y < h; ++y) {
      const std::uint8_t* from = screen.lpBits() + static_cast<std::size_t>(h - 1 - y) * stride;
      for (std::int32_t x = 0; x < w; ++x, from += 4, to += 3) {
        to[0] = from[2];
        to[1] = from[1];
        to[2] = from[0];
      }
    }
    return frame;
  }

 private:
  std::optional<std::string> path_;
  GifBytes held_;
  gif_scan::Input input_;
  gif_scan::Scanner scan_;
  GifFrameComposer composer_;
  std::int64_t frames_ = 0;
};

}  // namespace
}  // namespace zoetra::python

PYBIND11_MODULE(_zoetra, m) {
  namespace zp = zoetra::python;
  m.doc() = "Zoetra's extension; use the package zoetra.";
  // Failures become zoetra.Error (defined in Python so it pickles and documents well).
  // Held for the life of the process: released at exit would outlive the interpreter.
  zp::g_error_type = py::object(py::module_::import("zoetra._error").attr("Error")).release();
  zp::g_gif_type = py::object(py::module_::import("zoetra._gif").attr("GIF")).release();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const zoetra::Error& e) {
      py::object value = zp::ErrorOf(e, 0, std::nullopt);
      PyErr_SetObject(zp::g_error_type.ptr(), value.ptr());
    }
  });
  py::class_<zoetra::BuilderOptions>(m, "Options")
      .def(py::init(&zp::OptionsOf), py::arg("delay_ms"), py::arg("fps"), py::arg("gray"),
           py::arg("optimize"), py::arg("swap_rg"), py::arg("palette"), py::arg("threads"),
           py::arg("loop"), py::arg("fit_width"), py::arg("fit_height"), py::arg("background"),
           py::arg("auto_orient"), py::arg("start"), py::arg("duration"), py::arg("end"), py::arg("width"),
           py::arg("height"), py::arg("quality"));
  m.def(
      "parse_time",
      [](const std::string& text) {
        try {
          return zoetra::ParseTime(text);
        } catch (const zoetra::Error& e) {
          throw py::value_error(e.description());
        }
      },
      py::arg("text"));
  m.def("create", &zp::Create, py::arg("pictures"), py::arg("output"), py::arg("options"));
  py::class_<zp::FrameWriter>(m, "Writer")
      .def(py::init<const std::variant<py::bytes, py::function>&, const zoetra::BuilderOptions&>(),
           py::arg("output"), py::arg("options"))
      .def("add", &zp::FrameWriter::Add, py::arg("picture"), py::arg("delay_ms"))
      .def("finish", &zp::FrameWriter::Finish)
      .def("close", &zp::FrameWriter::Close)
      .def("abandon", &zp::FrameWriter::Abandon)
      .def_property_readonly("frames", &zp::FrameWriter::Frames);
  m.def("info_json", &zp::InfoJson, py::arg("data"), py::arg("name"), py::arg("path"));
  py::class_<zp::FrameReader>(m, "FrameReader")
      .def(py::init<const py::buffer&, const std::optional<py::bytes>&>(), py::arg("data"),
           py::arg("path"))
      .def(
          "__iter__", [](zp::FrameReader& r) -> zp::FrameReader& { return r; },
          py::return_value_policy::reference)
      .def("__next__", &zp::FrameReader::Next);
  // Read per call: a host may change the limits at any time.
  m.attr("palette_modes") = py::tuple(py::cast(std::vector<std::string>(std::begin(zoetra::kPaletteModeNames), std::end(zoetra::kPaletteModeNames))));
  m.def("max_file_bytes", [] { return zoetra::platform::GetLimits().max_file_bytes; });
}
