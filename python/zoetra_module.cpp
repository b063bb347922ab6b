// The extension behind the Python package `zoetra` (python/zoetra/__init__.py
// is its public face: it turns paths, PIL images and grey arrays into what
// these functions take, and documents them).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "component/zoetra.hpp"
#include "gif/cgif.hpp"
#include "gif/gif_compose.hpp"
#include "gif/gif_info.hpp"
#include "platform/base/error.hpp"
#include "platform/base/files.hpp"
#include "platform/base/yield.hpp"
#include "raster/cdib.hpp"

namespace py = pybind11;

namespace zoetra::python {
namespace {

using Array = py::array;

// A picture of the list as the extension receives it: a path, or an array.
using Picture = std::variant<std::string, Array>;

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
    for (py::ssize_t i = 0; i < a.ndim(); ++i) shape += (i ? " x " : "") + std::to_string(a.shape(i));
    throw py::value_error(which + "an array of shape " + (shape.empty() ? "()" : shape) +
                          "; zoetra takes H x W x 3 (RGB) or H x W x 4 (RGBA)");
  }
  const py::ssize_t h = a.shape(0), w = a.shape(1), c = a.shape(2);
  if (h <= 0 || w <= 0) throw py::value_error(which + "an empty array");
  if (h > 0x7FFFFFFF || w > 0x7FFFFFFF) throw py::value_error(which + "an array too large for a picture");
  if (a.strides(2) != 1 || a.strides(1) != c || a.strides(0) < w * c) {
    throw py::value_error(which + "the array's pixels are not contiguous in memory (a reversed or sliced view?); "
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

// The error type zoetra.Error, set when the module is imported.
py::handle g_error_type;

// Follows a conversion on this thread to tell which picture a failure belongs
// to (the host's own hook, if any, is put back afterwards).
class PictureWatch {
 public:
  PictureWatch() {
    previous_ = platform::SetYieldHook([this](const platform::YieldInfo& info) {
      picture_ = info.stage <= platform::YieldStage::PaletteCopy ? info.picture : 0;
    });
  }
  ~PictureWatch() { platform::SetYieldHook(std::move(previous_)); }
  PictureWatch(const PictureWatch&) = delete;
  PictureWatch& operator=(const PictureWatch&) = delete;
  std::int32_t picture() const { return picture_; }

 private:
  platform::YieldHook previous_;
  std::int32_t picture_ = 0;
};

[[noreturn]] void RaisePython(const Error& e, std::int32_t picture) {
  py::object value = g_error_type(e.number(), e.description(), e.source(),
                                  picture > 0 ? py::object(py::int_(picture)) : py::object(py::none()));
  PyErr_SetObject(g_error_type.ptr(), value.ptr());
  throw py::error_already_set();
}

py::object Create(const std::vector<Picture>& pictures, const std::optional<std::string>& output, int delay_ms,
                  bool gray, bool optimize, bool swap_rg, const std::string& palette, unsigned threads,
                  std::optional<int> loop, std::int32_t fit_width, std::int32_t fit_height,
                  std::optional<std::uint32_t> background, bool auto_orient) {
  BuilderOptions options;
  if (delay_ms < 0 || delay_ms > 32767) throw py::value_error("delay_ms must be 0 to 32767, not " + std::to_string(delay_ms));
  options.delay_ms = static_cast<std::int16_t>(delay_ms);
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
  std::vector<PictureSource> list;
  list.reserve(pictures.size());
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (const auto* path = std::get_if<std::string>(&pictures[i])) {
      list.emplace_back(*path);
    } else {
      list.emplace_back(PixelsOf(std::get<Array>(pictures[i]), i + 1));
    }
  }
  // `pictures` holds the arrays for as long as the conversion reads them.
  PictureWatch watch;
  if (output) {
    std::string text;
    try {
      py::gil_scoped_release unlocked;
      text = Zoetra().Create(list, *output, options);
    } catch (const Error& e) {
      RaisePython(e, watch.picture());
    }
    // The builder answers a failed save with its message; Python callers get it raised.
    if (text.rfind("OK, ", 0) != 0) {
      const int reason = platform::LastFileError();
      RaiseComponentError(reason != 0 ? text + ": " + std::strerror(reason) : text);
    }
    return py::str(text);
  }
  std::vector<std::uint8_t> bytes;
  try {
    py::gil_scoped_release unlocked;
    bytes = Zoetra().CreateToBuffer(list, options);
  } catch (const Error& e) {
    RaisePython(e, watch.picture());
  }
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A GIF document from the bytes of a file; not a GIF raises 481.
void Load(cGIF& doc, const py::bytes& data) {
  const std::string_view bytes = data;
  const bool loaded =
      bytes.size() >= 6 && doc.LoadFromStream({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  if (!loaded) RaiseError(kErrInvalidPicture, "Invalid picture: not a GIF file");
}

std::string InfoJson(const py::bytes& data, const std::string& name) {
  cGIF doc;
  Load(doc, data);
  return gif_info::Json(doc, name);
}

py::list Frames(const py::bytes& data) {
  cGIF doc;
  Load(doc, data);
  py::list out;
  cGIFComposer composer(doc);
  if (!composer.Start()) {
    RaiseError(kErrInvalidPicture, "Invalid picture: the logical screen is empty (" +
                                       std::to_string(doc.ScreenWidth()) + " x " +
                                       std::to_string(doc.ScreenHeight()) + ")");
  }
  for (;;) {
    const cGIFComposer::Step step = composer.Next();
    if (step == cGIFComposer::kEnd) break;
    if (step == cGIFComposer::kOutOfMemory) RaiseOutOfMemory();
    const cDIB& screen = composer.Screen();
    const std::int32_t w = screen.Width(), h = screen.Height();
    py::array_t<std::uint8_t> frame({static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w), py::ssize_t{3}});
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
    out.append(std::move(frame));
  }
  return out;
}

}  // namespace
}  // namespace zoetra::python

PYBIND11_MODULE(_zoetra, m) {
  namespace zp = zoetra::python;
  m.doc() = "Zoetra's extension; use the package zoetra.";
  // Failures become zoetra.Error (defined in Python so it pickles and documents well).
  // Held for the life of the process: released at exit would outlive the interpreter.
  zp::g_error_type = py::object(py::module_::import("zoetra._error").attr("Error")).release();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const zoetra::Error& e) {
      py::object value = zp::g_error_type(e.number(), e.description(), e.source());
      PyErr_SetObject(zp::g_error_type.ptr(), value.ptr());
    }
  });
  m.def("create", &zp::Create, py::arg("pictures"), py::arg("output"), py::arg("delay_ms"), py::arg("gray"),
        py::arg("optimize"), py::arg("swap_rg"), py::arg("palette"), py::arg("threads"), py::arg("loop"),
        py::arg("fit_width"), py::arg("fit_height"), py::arg("background"), py::arg("auto_orient"));
  m.def("info_json", &zp::InfoJson, py::arg("data"), py::arg("name"));
  m.def("frames", &zp::Frames, py::arg("data"));
}
