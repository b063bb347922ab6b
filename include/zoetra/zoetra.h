/* <zoetra/zoetra.h>: the C interface, for hosts in other languages.
 *
 * An instance made with zoetra_new (released with zoetra_release) carries
 * the last failure of the calls made on it: its number (ZOETRA_E_* below),
 * description and source stay readable until its next call. Texts are UTF-8,
 * NUL-terminated; results that do not fit the caller's buffer are cut before
 * a whole character (and still NUL-terminated), and the full length in bytes
 * is reported. A failed call leaves an empty text in the buffer.
 * An instance is used by one thread at a time; distinct instances may run on
 * different threads at once.
 *
 * zoetra_create, zoetra_create_pictures and the writer calls return 0 on
 * success, or the failure's number: a ZOETRA_E_* constant, the one
 * zoetra_error_number then gives. ZOETRA_E_MISUSE is the host's own fault
 * (calls out of order, a null instance or writer) rather than one of its
 * pictures or files; a null instance has nowhere to keep the failure, so only
 * the return tells it. The classic calls (<zoetra/compat.h>) keep their own
 * results: 1 for a failure, -1 for a null instance.
 */
#ifndef ZOETRA_H_
#define ZOETRA_H_

#include <stddef.h>
#include <stdint.h>

#include <zoetra/version.h>

#if defined(__GNUC__)
#define ZOETRA_API __attribute__((visibility("default")))
#else
#define ZOETRA_API
#endif

/* Failure numbers (zoetra_error_number; zoetra::Error::number() in C++). */
#define ZOETRA_E_INVALID_ARGUMENT 5          /* a value out of its range, an empty list, a bad picture */
#define ZOETRA_E_OVERFLOW 6                  /* a number past what its field holds */
#define ZOETRA_E_OUT_OF_MEMORY 7
#define ZOETRA_E_SUBSCRIPT 9                 /* a frame or entry that does not exist */
#define ZOETRA_E_DIVISION_BY_ZERO 11
#define ZOETRA_E_TYPE_MISMATCH 13
#define ZOETRA_E_STOPPED 18                  /* the host's yield hook stopped the work */
#define ZOETRA_E_INTERNAL 51                 /* a fault outside the library's own failures */
#define ZOETRA_E_FILE_NOT_FOUND 53
#define ZOETRA_E_PATH_ACCESS 75              /* a file that cannot be read or saved; the reason follows */
#define ZOETRA_E_INVALID_PICTURE 481         /* a picture that cannot be decoded, or over the limits */
#define ZOETRA_E_COMPONENT ((int32_t)0x800403E9) /* raise_errors: the failure's report in the description */
/* The host called out of order: a null instance, writer or writer slot, a
 * writer call after zoetra_writer_finish or after the writer failed. Only the
 * options and writer calls report it; no fault of a picture or file does. */
#define ZOETRA_E_MISUSE 1000

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, "MAJOR.MINOR.PATCH", as it was built (a static
 * text); a host compares it with ZOETRA_VERSION_STRING of its headers. */
ZOETRA_API const char* zoetra_version(void);

/* An instance: where the calls made on it keep their last failure. */
typedef struct ZoetraInstance ZoetraInstance;
ZOETRA_API ZoetraInstance* zoetra_new(void);
ZOETRA_API void zoetra_release(ZoetraInstance* instance);

/* Where the frames' colours come from (ZoetraOptions.palette). */
#define ZOETRA_PALETTE_FIRST 0 /* the first picture's palette: zoetra_create_zoetra's exact conversion */
#define ZOETRA_PALETTE_ALL 1   /* one palette from the pixels of every picture (the default) */
#define ZOETRA_PALETTE_FRAME 2 /* a palette per frame, as its local colour table */

/* Everything a conversion can be asked for. Fill it with zoetra_options_init
 * (which sets struct_size and the defaults), then change what you need; later
 * versions only add fields at the end, and struct_size tells them apart. */
typedef struct ZoetraOptions {
  uint32_t struct_size;
  int16_t delay_ms;     /* 350; 0 to 32767 */
  int16_t gray;         /* non-zero: 256 greys */
  int16_t optimize;     /* non-zero: crop and merge frames to what changed */
  int16_t swap_rg;      /* non-zero: exchange red and green */
  int16_t raise_errors; /* non-zero: failures as 0x800403E9 with the error report, logged */
  int32_t palette;      /* ZOETRA_PALETTE_ALL */
  uint32_t threads;     /* 0: one per core, up to 1024; the bytes written do not depend on it */
  /* Added after the first release (struct_size tells; older callers get the defaults): */
  int32_t loop;         /* 0: repeat forever; 1 to 65535 times; ZOETRA_PLAY_ONCE: no loop block */
  int32_t fit_width;    /* both > 0: every picture scaled to fit inside fit_width x fit_height, */
  int32_t fit_height;   /*   centred on the background; 0 x 0: pictures of another size than the
                           first are fitted into the first one's (ZOETRA_PALETTE_FIRST: as they are) */
  int32_t background;   /* 0xRRGGBB under transparent pixels and around fitted pictures; -1: none */
  int16_t auto_orient;  /* non-zero: JPEGs turned upright by their EXIF orientation */
  /* Clips and animated GIFs; 0 leaves each unset: */
  double fps;           /* > 0: frames per second (clips resampled to it) instead of delay_ms */
  double start;         /* seconds into each clip to begin at */
  double duration;      /* > 0: seconds of each clip to take from the start */
  double end;           /* > 0: seconds into each clip to stop at (not with duration) */
  int32_t width;        /* > 0: frames scaled to this width, the height following (both: fit inside) */
  int32_t height;       /* > 0: frames scaled to this height, the width following */
  int32_t quality;      /* 100; 1 (smallest file) to 100 (best picture) */
} ZoetraOptions;

#define ZOETRA_PLAY_ONCE (-1)

ZOETRA_API void zoetra_options_init(ZoetraOptions* options);
/* The animation builder with options (NULL: the defaults). files may be NULL
 * only with count 0. A count below 0, a palette mode not listed above, a value
 * out of its range or a struct_size smaller than the structure's first release
 * (up to threads) fails with error 5, and so does an empty list; fields past
 * struct_size take their defaults. Every file is checked before any picture
 * is decoded: a missing one fails with error 53 naming it, an unreadable one
 * with 75. An output that is one of the pictures (by any path or link) fails
 * with 75 before any work. A failed save fails with 75, the system's reason in
 * the description. The result text ("OK, Animated GIF: ... created with N
 * frames") goes to result. */
ZOETRA_API int zoetra_create(ZoetraInstance* instance, const char* const* files, int32_t count, const char* output,
                             const ZoetraOptions* options, char* result, size_t result_size, size_t* result_length);

/* Channel orders of pictures in memory (ZoetraPicture.layout), 8 bits each. */
#define ZOETRA_PIXELS_RGB 0
#define ZOETRA_PIXELS_RGBA 1
#define ZOETRA_PIXELS_BGRA 2

/* One picture of a list: a file (file not NULL), or pixels in memory, rows
 * top to bottom, stride bytes apart (0: packed). The pixels stay the
 * caller's and must not change until the call returns. The same pixels give
 * the same bytes as the same picture in a PNG file; alpha counts as it counts
 * there (transparent below half unless a background is given). */
typedef struct ZoetraPicture {
  const char* file;
  const uint8_t* pixels;
  int32_t width;
  int32_t height;
  size_t stride;
  int32_t layout; /* ZOETRA_PIXELS_RGB */
} ZoetraPicture;

/* zoetra_create on a list of files and pictures in memory, mixed freely. A
 * picture in memory without pixels, with a size that is not positive, a stride
 * shorter than its rows or an unknown layout fails with error 5 before any
 * picture is read. */
ZOETRA_API int zoetra_create_pictures(ZoetraInstance* instance, const ZoetraPicture* pictures, int32_t count,
                                      const char* output, const ZoetraOptions* options, char* result,
                                      size_t result_size, size_t* result_length);

/* Frames handed over one at a time (see zoetra::Writer in zoetra.hpp): the
 * file holds the same bytes as zoetra_create_pictures with the same pictures
 * and options. Open, add each frame (its pixels are copied at once; delay_ms
 * -1 shows it for the options' delay, else 0 to 32767 ms, not with
 * ZOETRA_PALETTE_FIRST), finish, release. After a failure, and after
 * finishing, the writer refuses every call but release with ZOETRA_E_MISUSE.
 * Released without finishing, it leaves any old output as it was. A null
 * output or picture is error 5; a null writer (or writer slot of open) is
 * ZOETRA_E_MISUSE. */
typedef struct ZoetraWriter ZoetraWriter;
ZOETRA_API int zoetra_writer_open(ZoetraInstance* instance, const char* output, const ZoetraOptions* options,
                                  ZoetraWriter** writer);
ZOETRA_API int zoetra_writer_add(ZoetraInstance* instance, ZoetraWriter* writer, const ZoetraPicture* picture,
                                 int32_t delay_ms);
ZOETRA_API int zoetra_writer_finish(ZoetraInstance* instance, ZoetraWriter* writer, int64_t* frames);
ZOETRA_API void zoetra_writer_release(ZoetraWriter* writer);

/* Threads the library may use at once, process-wide (the worker pool holds
 * at most max_threads - 1; a conversion's calling thread is the last one).
 * The default is the hardware's thread count; 1 keeps every conversion on its
 * calling thread. Returns 0, or 1 (nothing changed) for a value below 1.
 * Takes effect for work that starts later. */
ZOETRA_API int zoetra_set_max_threads(int32_t max_threads);
ZOETRA_API int32_t zoetra_max_threads(void);

/* The last failure on this instance: number (0 when the last call succeeded),
 * description and source. The texts stay valid until the instance's next call. */
ZOETRA_API int32_t zoetra_error_number(const ZoetraInstance* instance);
ZOETRA_API const char* zoetra_error_description(const ZoetraInstance* instance);
ZOETRA_API const char* zoetra_error_source(const ZoetraInstance* instance);

#ifdef __cplusplus
}
#endif

#endif /* ZOETRA_H_ */
