/* <zoetra/compat.h>: the classic calls, kept for hosts written against the
 * in-process component: the class object and its entry points (Dll*), the
 * identifiers, the probes and the classic animation builder, each with the
 * results and bytes it always had. New hosts need only <zoetra/zoetra.h>,
 * which this includes. From C++ it also gives the dispatch ids as
 * zoetra::kDispId* constants.
 *
 * The classic calls return 0 on success and 1 when they failed (the failure
 * on the instance, as for every call), -1 for a null instance.
 */
#ifndef ZOETRA_COMPAT_H_
#define ZOETRA_COMPAT_H_

#include <zoetra/zoetra.h>

/* Dispatch ids of the members of the `_Zoetra` interface, in vtable order. */
#define ZOETRA_DISPID_SUM 0x60030003
#define ZOETRA_DISPID_RATIO 0x60030004
#define ZOETRA_DISPID_CREATE_ZOETRA2 0x60030005
#define ZOETRA_DISPID_CREATE_ZOETRA 0x60030006

/* Result codes of the entry points below (not failure numbers: those are
 * ZOETRA_E_* of <zoetra/zoetra.h>, which these never equal). */
#define ZOETRA_S_OK 0
#define ZOETRA_S_FALSE 1
#define ZOETRA_E_POINTER ((int32_t)0x80004003)
#define ZOETRA_E_NOINTERFACE ((int32_t)0x80004002)
#define ZOETRA_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define ZOETRA_CLASS_E_CLASSNOTAVAILABLE ((int32_t)0x80040111)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZoetraGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} ZoetraGuid;

/* Identifiers of the type library, the class and its interface. */
extern ZOETRA_API const ZoetraGuid LIBID_ZoetraCom;
extern ZOETRA_API const ZoetraGuid CLSID_Zoetra;
extern ZOETRA_API const ZoetraGuid IID__Zoetra;
extern ZOETRA_API const ZoetraGuid IID_ZoetraClassFactory;

/* The probes. Failures (an overflow, a division by zero) are the
 * component's error 0x800403E9 with the caught failure's report. */
ZOETRA_API int zoetra_sum(ZoetraInstance* instance, int16_t val1, int16_t val2, int16_t* result);
ZOETRA_API int zoetra_ratio(ZoetraInstance* instance, int16_t val1, int16_t val2, int16_t* result);
/* files == NULL stands for a value that is not an array ("Error"); any count,
 * including 0, is an array ("OK"); a negative count fails with error 5. The
 * text goes to result. */
ZOETRA_API int zoetra_create_zoetra2(ZoetraInstance* instance, const char* const* files, int32_t count,
                                     char* result, size_t result_size, size_t* result_length);
/* The classic animation builder. files == NULL is "not an array". The result
 * text ("OK, Animated GIF: ... created with N frames", or one of the two
 * failure messages when show_error is 0) goes to result. An output that is one
 * of the pictures (by any path or link) fails with 75 before any work. */
ZOETRA_API int zoetra_create_zoetra(ZoetraInstance* instance, const char* const* files, int32_t count,
                                    const char* output, int16_t delay_ms, int16_t is_gray, int16_t do_optimize,
                                    int16_t swap_rg, int16_t show_error, char* result, size_t result_size,
                                    size_t* result_length);

/* Object control as a transaction server calls it: never pooled. */
ZOETRA_API int zoetra_activate(ZoetraInstance* instance);
ZOETRA_API int zoetra_deactivate(ZoetraInstance* instance);
ZOETRA_API int zoetra_can_be_pooled(ZoetraInstance* instance); /* always 0 */

/* The class object handed out by DllGetClassObject. */
typedef struct ZoetraClassFactory {
  int32_t (*CreateInstance)(struct ZoetraClassFactory* self, const ZoetraGuid* iid, void** object);
  void (*Release)(struct ZoetraClassFactory* self);
} ZoetraClassFactory;

/* There is no registry on this platform: registration and unregistration have
 * nothing to write and succeed. */
ZOETRA_API int32_t DllRegisterServer(void);
ZOETRA_API int32_t DllUnregisterServer(void);
/* Null arguments give ZOETRA_E_POINTER, another class
 * ZOETRA_CLASS_E_CLASSNOTAVAILABLE, another interface ZOETRA_E_NOINTERFACE
 * (*object is set to NULL whenever object is not NULL and the call fails).
 * For CLSID_Zoetra and IID_ZoetraClassFactory, stores a class object whose
 * CreateInstance(IID__Zoetra) makes a new ZoetraInstance (release it with
 * zoetra_release, and the class object with its Release). */
ZOETRA_API int32_t DllGetClassObject(const ZoetraGuid* clsid, const ZoetraGuid* iid, void** object);
/* ZOETRA_S_OK when no instance, no class object and no worker thread of the
 * library lives, else ZOETRA_S_FALSE (worker threads end after 2 s idle). */
ZOETRA_API int32_t DllCanUnloadNow(void);

#ifdef __cplusplus
}

namespace zoetra {
inline constexpr int32_t kDispIdSum = ZOETRA_DISPID_SUM;
inline constexpr int32_t kDispIdRatio = ZOETRA_DISPID_RATIO;
inline constexpr int32_t kDispIdCreateZoetra2 = ZOETRA_DISPID_CREATE_ZOETRA2;
inline constexpr int32_t kDispIdCreateZoetra = ZOETRA_DISPID_CREATE_ZOETRA;
}  // namespace zoetra
#endif

#endif /* ZOETRA_COMPAT_H_ */
