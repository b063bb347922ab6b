// The extension behind the Python package `zoetra` (python/zoetra/__init__.py
// is its public face: it turns paths, PIL images and grey arrays into what
// these functions take, and documents them). Paths arrive as bytes
// (os.fsencode), so every name the system allows gets through; text goes back
// as os.fsdecode would make it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "component/zoetra.hpp"
#include "gif/cgif.hpp"
#include "gif/gif_compose.hpp"
#include "gif/gif_info.hpp"
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

PaletteMode ModeOf(const std::string& name) {
  if (name == "first") return PaletteMode::First;
  if (name == "all") return PaletteMode::All;
  if (name == "frame") return PaletteMode::Frame;
  throw py::value_error("palette must be \"first\", \"all\" or \"frame\", not \"" + name + "\"");
}

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

// The picture a failure raised before any stage names (a missing or unreadable
// file, found before any work): the longest file name of the list in its text,
// or 0.
std::int32_t Named(const std::vector<PictureSource>& list, const Error& e) {
  std::int32_t named = 0;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].InMemory()) continue;
    const std::string name = platform::DisplayName(list[i].File());
    if (name.size() > longest && e.description().find(name) != std::string::npos) {
      longest = name.size();
      named = static_cast<std::int32_t>(i + 1);
    }
  }
  return named;
}

py::object Create(const std::vector<Picture>& pictures, const std::optional<py::bytes>& output,
                  std::int64_t delay_ms, std::optional<double> fps, bool gray, bool optimize,
                  bool swap_rg, const std::string& palette, std::int64_t threads,
                  std::optional<std::int64_t> loop, std::int64_t fit_width, std::int64_t fit_height,
                  std::optional<std::uint32_t> background, bool auto_orient) {
  BuilderOptions options;
  options.delay_ms = delay_ms;
  options.fps = fps;
  options.gray = gray;
  options.optimize = optimize;
  options.swap_rg = swap_rg;
  options.palette = ModeOf(palette);
  options.threads = threads;
  options.loop = loop ? *loop : kPlayOnce;
  options.fit_width = fit_width;
  options.fit_height = fit_height;
  options.background = background;
  options.auto_orient = auto_orient;
  // The library checks every range, for every front end alike.
  try {
    CheckBuilderOptions(options);
  } catch (const Error& e) {
    RaisePython(e, 0, std::nullopt);
  }
  if (const std::string note = DelayNote(options); !note.empty()) {
    if (PyErr_WarnEx(PyExc_UserWarning, note.c_str(), 1) != 0) throw py::error_already_set();
  }
  std::vector<PictureSource> list;
  list.reserve(pictures.size());
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (const auto* path = std::get_if<py::bytes>(&pictures[i])) {
      list.emplace_back(std::string(*path));
    } else {
      list.emplace_back(PixelsOf(std::get<Array>(pictures[i]), i + 1));
    }
  }
  // The path of the picture that failed, when it came as one.
  const auto path_of = [&](std::int32_t picture) -> std::optional<std::string> {
    if (picture < 1 || static_cast<std::size_t>(picture) > list.size()) return std::nullopt;
    const PictureSource& source = list[static_cast<std::size_t>(picture - 1)];
    return source.InMemory() ? std::nullopt : std::optional<std::string>(source.File());
  };
  // `pictures` holds the arrays for as long as the conversion reads them.
  ConversionWatch watch;
  if (output) {
    const std::string target(*output);
    std::string text;
    try {
      py::gil_scoped_release unlocked;
      text = Zoetra().Create(list, target, options);
    } catch (const Error& e) {
      const std::int32_t picture = watch.picture() != 0 ? watch.picture() : Named(list, e);
      // Outside the pictures, a failure that names the output is the output's.
      const bool output_failed =
          picture == 0 && e.description().find(platform::DisplayName(target)) != std::string::npos;
      RaisePython(e, picture,
                  output_failed ? std::optional<std::string>(target) : path_of(picture));
    }
    return Text(text);
  }
  std::vector<std::uint8_t> bytes;
  try {
    py::gil_scoped_release unlocked;
    bytes = Zoetra().CreateToBuffer(list, options);
  } catch (const Error& e) {
    const std::int32_t picture = watch.picture() != 0 ? watch.picture() : Named(list, e);
    RaisePython(e, picture, path_of(picture));
  }
  // Made straight from the buffer: a GIF as big as memory allows is copied once.
  return g_gif_type(
      py::memoryview::from_memory(bytes.data(), static_cast<py::ssize_t>(bytes.size())));
}

// A GIF document from the bytes of a file; not a GIF raises 481.
void Load(cGIF& doc, const py::buffer& data) {
  const py::buffer_info view = data.request();
  const auto* bytes = static_cast<const std::uint8_t*>(view.ptr);
  const auto size = static_cast<std::size_t>(view.size * view.itemsize);
  const bool loaded = size >= 6 && doc.LoadFromStream({bytes, size});
  if (!loaded) RaiseError(kErrInvalidPicture, "Invalid picture: not a GIF file");
}

std::string InfoJson(const py::buffer& data, const py::bytes& name,
                     const std::optional<py::bytes>& path) {
  cGIF doc;
  try {
    Load(doc, data);
  } catch (const Error& e) {
    RaisePython(e, 0, path ? std::optional<std::string>(*path) : std::nullopt);
  }
  return gif_info::Json(doc, std::string(name));
}

// The frames of one GIF as a viewer shows them, composed one at a time as
// Python iterates: only the document and one screen stay in memory.
class FrameReader {
 public:
  FrameReader(const py::buffer& data, const std::optional<py::bytes>& path) {
    if (path) path_ = std::string(*path);
    try {
      Load(doc_, data);
      composer_ = std::make_unique<cGIFComposer>(doc_);
      if (!composer_->Start()) {
        RaiseError(kErrInvalidPicture, "Invalid picture: " + composer_->StartFailure());
      }
    } catch (const Error& e) {
      RaisePython(e, 0, path_);
    }
  }

  py::array_t<std::uint8_t> Next() {
    cGIFComposer::Step step = cGIFComposer::kEnd;
    try {
      step = composer_->Next();
      if (step == cGIFComposer::kOutOfMemory) RaiseOutOfMemory();
    } catch (const Error& e) {
      RaisePython(e, 0, path_);
    }
    if (step == cGIFComposer::kEnd) throw py::stop_iteration();
    const cDIB& screen = composer_->Screen();
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
  cGIF doc_;
  std::unique_ptr<cGIFComposer> composer_;  // reads doc_, made once it is loaded
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
  m.def("create", &zp::Create, py::arg("pictures"), py::arg("output"), py::arg("delay_ms"),
        py::arg("fps"), py::arg("gray"), py::arg("optimize"), py::arg("swap_rg"), py::arg("palette"),
        py::arg("threads"), py::arg("loop"), py::arg("fit_width"), py::arg("fit_height"),
        py::arg("background"), py::arg("auto_orient"));
  m.def("info_json", &zp::InfoJson, py::arg("data"), py::arg("name"), py::arg("path"));
  py::class_<zp::FrameReader>(m, "FrameReader")
      .def(py::init<const py::buffer&, const std::optional<py::bytes>&>(), py::arg("data"),
           py::arg("path"))
      .def(
          "__iter__", [](zp::FrameReader& r) -> zp::FrameReader& { return r; },
          py::return_value_policy::reference)
      .def("__next__", &zp::FrameReader::Next);
  // Read per call: a host may change the limits at any time.
  m.def("max_file_bytes", [] { return zoetra::platform::GetLimits().max_file_bytes; });
}
