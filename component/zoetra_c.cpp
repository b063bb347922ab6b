#include <zoetra/compat.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include <zoetra/zoetra.hpp>
#include "platform/base/limits.hpp"
#include "platform/base/worker_pool.hpp"

// Arbitrary fixed identifiers of this component.
extern "C" {
const ZoetraGuid LIBID_ZoetraCom = {0x6b1d5c20, 0x3f0e, 0x4a8c, {0x9d, 0x41, 0x27, 0x5e, 0x8a, 0x10, 0xc3, 0x01}};
const ZoetraGuid CLSID_Zoetra = {0x6b1d5c21, 0x3f0e, 0x4a8c, {0x9d, 0x41, 0x27, 0x5e, 0x8a, 0x10, 0xc3, 0x01}};
const ZoetraGuid IID__Zoetra = {0x6b1d5c22, 0x3f0e, 0x4a8c, {0x9d, 0x41, 0x27, 0x5e, 0x8a, 0x10, 0xc3, 0x01}};
const ZoetraGuid IID_ZoetraClassFactory = {0x6b1d5c23, 0x3f0e, 0x4a8c,
                                           {0x9d, 0x41, 0x27, 0x5e, 0x8a, 0x10, 0xc3, 0x01}};
}

struct ZoetraInstance {
  zoetra::Zoetra component;
  std::int32_t error_number = 0;
  std::string error_description;
  std::string error_source;
};

namespace {

// Instances and class objects alive; the library may be unloaded at 0.
std::atomic<long> g_live_objects{0};

bool SameGuid(const ZoetraGuid* a, const ZoetraGuid& b) { return a != nullptr && std::memcmp(a, &b, sizeof b) == 0; }

// Copies as much of `text` as fits with its NUL, never splitting a UTF-8
// sequence; `length` gets the full length. An empty buffer receives nothing.
void CopyText(const std::string& text, char* out, size_t size, size_t* length) {
  if (length) *length = text.size();
  if (out == nullptr || size == 0) return;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The C numbers are the library's own, named for C.
static_assert(ZOETRA_E_INVALID_ARGUMENT == zoetra::kErrInvalidArgument && ZOETRA_E_OVERFLOW == zoetra::kErrOverflow &&
              ZOETRA_E_OUT_OF_MEMORY == zoetra::kErrOutOfMemory && ZOETRA_E_SUBSCRIPT == zoetra::kErrSubscript &&
              ZOETRA_E_DIVISION_BY_ZERO == zoetra::kErrDivisionByZero &&
              ZOETRA_E_TYPE_MISMATCH == zoetra::kErrTypeMismatch && ZOETRA_E_STOPPED == zoetra::kErrStopped &&
              ZOETRA_E_INTERNAL == zoetra::kErrInternal && ZOETRA_E_FILE_NOT_FOUND == zoetra::kErrFileNotFound &&
              ZOETRA_E_PATH_ACCESS == zoetra::kErrPathAccess &&
              ZOETRA_E_INVALID_PICTURE == zoetra::kErrInvalidPicture && ZOETRA_E_COMPONENT == zoetra::kErrComponent);

// A call the host made out of order: the C interface's own failure.
[[noreturn]] void RaiseMisuse(std::string_view why) {
  throw zoetra::Error(ZOETRA_E_MISUSE, "Calls out of order: " + std::string(why));
}

// What a call returns: the classic calls 1 for a failure and -1 for a null
// instance, the options and writer calls the failure's number.
enum class Returns { Classic, Number };

// Runs `body` on the instance, recording a failure instead of letting it cross into C.
template <class F>
int Guarded(ZoetraInstance* instance, F&& body, Returns returns = Returns::Classic) {
  if (instance == nullptr) return returns == Returns::Classic ? -1 : ZOETRA_E_MISUSE;
  instance->error_number = 0;
  instance->error_description.clear();
  instance->error_source.clear();
  try {
    body();
    return 0;
  } catch (...) {
    const zoetra::Error e = zoetra::ToError(std::current_exception());
    instance->error_number = e.number();
    instance->error_description = e.description();
    instance->error_source = e.source();
    return returns == Returns::Classic ? 1 : e.number();
  }
}

zoetra::platform::Variant ListOf(const char* const* files, int32_t count) {
  if (files == nullptr) return {};
  if (count < 0) zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument");
  std::vector<std::string> names;
  for (int32_t i = 0; i < count; ++i) names.emplace_back(files[i] ? files[i] : "");
  return zoetra::platform::Variant(zoetra::platform::VariantArray::FromTexts(names, 0));
}

int32_t FactoryCreateInstance(ZoetraClassFactory*, const ZoetraGuid* iid, void** object) {
  if (object == nullptr) return ZOETRA_E_POINTER;
  *object = nullptr;
  if (iid == nullptr) return ZOETRA_E_POINTER;
  if (!SameGuid(iid, IID__Zoetra)) return ZOETRA_E_NOINTERFACE;
  ZoetraInstance* instance = zoetra_new();
  if (instance == nullptr) return ZOETRA_E_OUTOFMEMORY;
  *object = instance;
  return ZOETRA_S_OK;
}

void FactoryRelease(ZoetraClassFactory* self) {
  if (self == nullptr) return;
  delete self;
  --g_live_objects;
}

}  // namespace

extern "C" {

// The version is a literal, so its text ends with a NUL.
const char* zoetra_version(void) {
  return zoetra::Version().data();
}

ZoetraInstance* zoetra_new(void) {
  ZoetraInstance* instance = new (std::nothrow) ZoetraInstance();
  if (instance) ++g_live_objects;
  return instance;
}

void zoetra_release(ZoetraInstance* instance) {
  if (instance == nullptr) return;
  delete instance;
  --g_live_objects;
}

int zoetra_sum(ZoetraInstance* instance, int16_t val1, int16_t val2, int16_t* result) {
  return Guarded(instance, [&] {
    const int16_t r = instance->component.Sum(val1, val2);
    if (result) *result = r;
  });
}

int zoetra_ratio(ZoetraInstance* instance, int16_t val1, int16_t val2, int16_t* result) {
  return Guarded(instance, [&] {
    const int16_t r = instance->component.Ratio(val1, val2);
    if (result) *result = r;
  });
}

int zoetra_create_zoetra2(ZoetraInstance* instance, const char* const* files, int32_t count, char* result,
                          size_t result_size, size_t* result_length) {
  CopyText({}, result, result_size, result_length);
  return Guarded(instance, [&] {
    CopyText(instance->component.CreateZoetra2(ListOf(files, count)), result, result_size, result_length);
  });
}

int zoetra_create_zoetra(ZoetraInstance* instance, const char* const* files, int32_t count, const char* output,
                         int16_t delay_ms, int16_t is_gray, int16_t do_optimize, int16_t swap_rg,
                         int16_t show_error, char* result, size_t result_size, size_t* result_length) {
  // A failure leaves an empty text, not what the buffer held before.
  CopyText({}, result, result_size, result_length);
  return Guarded(instance, [&] {
    const zoetra::platform::Variant text = instance->component.CreateZoetra(
        ListOf(files, count), zoetra::platform::Variant(output ? output : ""), delay_ms, is_gray, do_optimize,
        swap_rg, show_error);
    CopyText(text.ToText(), result, result_size, result_length);
  });
}

void zoetra_options_init(ZoetraOptions* options) {
  if (options == nullptr) return;
  *options = ZoetraOptions{};
  options->struct_size = sizeof(ZoetraOptions);
  options->delay_ms = 350;
  options->palette = ZOETRA_PALETTE_ALL;
  options->background = -1;
  options->quality = 100;
}

}  // extern "C"

// Helpers of the calls below, of C++ linkage.
namespace {

// The options as given (NULL: the defaults); error 5 for what this version cannot read.
zoetra::BuilderOptions OptionsOf(const ZoetraOptions* options) {
  ZoetraOptions given;
  zoetra_options_init(&given);
  if (options != nullptr) {
    // The first release ended with `threads`; later fields keep their defaults
    // for callers built against it.
    constexpr std::size_t kFirstRelease = offsetof(ZoetraOptions, threads) + sizeof(ZoetraOptions::threads);
    if (options->struct_size < kFirstRelease) {
      zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument");
    }
    std::memcpy(&given, options, std::min<std::size_t>(options->struct_size, sizeof given));
    given.struct_size = sizeof given;
  }
  // Every range is checked by the builder, as for every other front end.
  zoetra::BuilderOptions o;
  o.delay_ms = given.delay_ms;
  o.gray = given.gray != 0;
  o.optimize = given.optimize != 0;
  o.swap_rg = given.swap_rg != 0;
  o.raise_errors = given.raise_errors != 0;
  static_assert(ZOETRA_PALETTE_FIRST == static_cast<int>(zoetra::PaletteMode::First) &&
                ZOETRA_PALETTE_ALL == static_cast<int>(zoetra::PaletteMode::All) &&
                ZOETRA_PALETTE_FRAME == static_cast<int>(zoetra::PaletteMode::Frame));
  o.palette = static_cast<zoetra::PaletteMode>(static_cast<std::uint8_t>(
      given.palette >= 0 && given.palette <= 0xFF ? given.palette : 0xFF));
  o.threads = given.threads;
  o.loop = given.loop;
  o.fit_width = given.fit_width;
  o.fit_height = given.fit_height;
  if (given.background != -1) o.background = static_cast<std::uint32_t>(given.background);
  o.auto_orient = given.auto_orient != 0;
  // 0 is unset; anything else, NaN and negatives too, reaches the range checks.
  if (given.fps != 0) o.fps = given.fps;
  o.start = given.start;
  if (given.duration != 0) o.duration = given.duration;
  if (given.end != 0) o.end = given.end;
  o.width = given.width;
  o.height = given.height;
  o.quality = given.quality;
  return o;
}

// A picture of the C interface; `number` names it in messages.
zoetra::PictureSource PictureOf(const ZoetraPicture& p, std::int64_t number) {
  if (p.file != nullptr) return zoetra::PictureSource(std::string(p.file));
  zoetra::PicturePixels pixels;
  pixels.data = p.pixels;
  pixels.width = p.width;
  pixels.height = p.height;
  pixels.stride = p.stride;
  switch (p.layout) {
    case ZOETRA_PIXELS_RGB: pixels.layout = zoetra::PixelLayout::RGB; break;
    case ZOETRA_PIXELS_RGBA: pixels.layout = zoetra::PixelLayout::RGBA; break;
    case ZOETRA_PIXELS_BGRA: pixels.layout = zoetra::PixelLayout::BGRA; break;
    default:
      zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument: picture " +
                                                          std::to_string(number) + " has an unknown pixel layout");
  }
  return zoetra::PictureSource(pixels);
}

}  // namespace

extern "C" {

int zoetra_create(ZoetraInstance* instance, const char* const* files, int32_t count, const char* output,
                  const ZoetraOptions* options, char* result, size_t result_size, size_t* result_length) {
  CopyText({}, result, result_size, result_length);
  return Guarded(instance, [&] {
    const zoetra::BuilderOptions o = OptionsOf(options);
    if (count < 0 || (files == nullptr && count != 0)) {
      zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument");
    }
    std::vector<std::string> names;
    for (int32_t i = 0; i < count; ++i) names.emplace_back(files[i] ? files[i] : "");
    CopyText(instance->component.CreateZoetra(names, output ? output : "", o), result, result_size, result_length);
  }, Returns::Number);
}

int zoetra_create_pictures(ZoetraInstance* instance, const ZoetraPicture* pictures, int32_t count,
                           const char* output, const ZoetraOptions* options, char* result, size_t result_size,
                           size_t* result_length) {
  CopyText({}, result, result_size, result_length);
  return Guarded(instance, [&] {
    const zoetra::BuilderOptions o = OptionsOf(options);
    if (count < 0 || (pictures == nullptr && count != 0)) {
      zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument");
    }
    std::vector<zoetra::PictureSource> list;
    list.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) list.push_back(PictureOf(pictures[i], i + 1));
    CopyText(instance->component.Create(list, output ? output : "", o), result, result_size, result_length);
  }, Returns::Number);
}

}  // extern "C"

struct ZoetraWriter {
  zoetra::Writer writer;
  // Set by a failed call and by finishing: every later call but release is misuse.
  const char* stopped = nullptr;
};

namespace {

// Runs a writer call: refused on a null or stopped writer; a failure stops it.
template <class F>
int WriterCall(ZoetraInstance* instance, ZoetraWriter* writer, const char* call, F&& body) {
  bool ran = false;
  const int rc = Guarded(instance, [&] {
    if (writer == nullptr) RaiseMisuse(std::string(call) + " was given no writer");
    if (writer->stopped != nullptr) RaiseMisuse(std::string(call) + " on a writer that " + writer->stopped);
    ran = true;
    body();
  }, Returns::Number);
  if (ran && rc != 0) writer->stopped = "stopped at an earlier failure";
  return rc;
}

}  // namespace

extern "C" {

int zoetra_writer_open(ZoetraInstance* instance, const char* output, const ZoetraOptions* options,
                       ZoetraWriter** writer) {
  if (writer != nullptr) *writer = nullptr;
  return Guarded(instance, [&] {
    if (writer == nullptr) RaiseMisuse("zoetra_writer_open was given nowhere to put the writer");
    if (output == nullptr) zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument");
    *writer = new ZoetraWriter{zoetra::Writer(output, OptionsOf(options))};
  }, Returns::Number);
}

int zoetra_writer_add(ZoetraInstance* instance, ZoetraWriter* writer, const ZoetraPicture* picture,
                      int32_t delay_ms) {
  return WriterCall(instance, writer, "zoetra_writer_add", [&] {
    if (picture == nullptr) zoetra::RaiseError(zoetra::kErrInvalidArgument, "Invalid procedure call or argument");
    const zoetra::PictureSource source = PictureOf(*picture, writer->writer.Frames() + 1);
    if (delay_ms == -1) {
      writer->writer.Add(source);
    } else {
      writer->writer.Add(source, delay_ms);
    }
  });
}

int zoetra_writer_finish(ZoetraInstance* instance, ZoetraWriter* writer, int64_t* frames) {
  return WriterCall(instance, writer, "zoetra_writer_finish", [&] {
    writer->stopped = "is finished";
    const std::int64_t made = writer->writer.Finish();
    if (frames != nullptr) *frames = made;
  });
}

void zoetra_writer_release(ZoetraWriter* writer) { delete writer; }

int zoetra_set_max_threads(int32_t max_threads) {
  if (max_threads < 1) return 1;
  zoetra::platform::Limits limits = zoetra::platform::GetLimits();
  limits.max_threads = max_threads;
  zoetra::platform::SetLimits(limits);
  return 0;
}

int32_t zoetra_max_threads(void) { return zoetra::platform::GetLimits().max_threads; }

int zoetra_activate(ZoetraInstance* instance) { return Guarded(instance, [&] { instance->component.Activate(); }); }
int zoetra_deactivate(ZoetraInstance* instance) {
  return Guarded(instance, [&] { instance->component.Deactivate(); });
}
int zoetra_can_be_pooled(ZoetraInstance* instance) {
  return instance != nullptr && instance->component.CanBePooled() ? 1 : 0;
}

int32_t zoetra_error_number(const ZoetraInstance* instance) { return instance ? instance->error_number : 0; }
const char* zoetra_error_description(const ZoetraInstance* instance) {
  return instance ? instance->error_description.c_str() : "";
}
const char* zoetra_error_source(const ZoetraInstance* instance) {
  return instance ? instance->error_source.c_str() : "";
}

int32_t DllRegisterServer(void) { return ZOETRA_S_OK; }
int32_t DllUnregisterServer(void) { return ZOETRA_S_OK; }

int32_t DllGetClassObject(const ZoetraGuid* clsid, const ZoetraGuid* iid, void** object) {
  if (object == nullptr) return ZOETRA_E_POINTER;
  *object = nullptr;
  if (clsid == nullptr || iid == nullptr) return ZOETRA_E_POINTER;
  if (!SameGuid(clsid, CLSID_Zoetra)) return ZOETRA_CLASS_E_CLASSNOTAVAILABLE;
  if (!SameGuid(iid, IID_ZoetraClassFactory)) return ZOETRA_E_NOINTERFACE;
  auto* factory = new (std::nothrow) ZoetraClassFactory{FactoryCreateInstance, FactoryRelease};
  if (factory == nullptr) return ZOETRA_E_OUTOFMEMORY;
  ++g_live_objects;
  *object = factory;
  return ZOETRA_S_OK;
}

int32_t DllCanUnloadNow(void) {
  return g_live_objects.load() == 0 && zoetra::platform::PoolThreadCount() == 0 ? ZOETRA_S_OK
                                                                                : ZOETRA_S_FALSE;
}

}  // extern "C"
