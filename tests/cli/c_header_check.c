/* The C interface used from C: both headers must compile as strict C99. */
#include <zoetra/zoetra.h>
#include <zoetra/compat.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  ZoetraInstance* z = zoetra_new();
  int16_t value = 0;
  char text[64];
  size_t length = 0;
  const char* files[] = {"a.png", "b.png"};
  void* object = NULL;
  ZoetraClassFactory* factory;

  check(strcmp(zoetra_version(), ZOETRA_VERSION_STRING) == 0, "zoetra_version");
  check(z != NULL, "zoetra_new");
  check(zoetra_sum(z, 40, 2, &value) == 0 && value == 42, "zoetra_sum");
  check(zoetra_sum(z, 32767, 1, &value) != 0, "zoetra_sum overflow fails");
  check(zoetra_error_number(z) == ZOETRA_E_COMPONENT && (uint32_t)ZOETRA_E_COMPONENT == 0x800403E9u,
        "error number");
  check(strncmp(zoetra_error_description(z), "Basic Error: ", 13) == 0, "error description");
  check(strcmp(zoetra_error_source(z), "Basic Component") == 0, "error source");
  check(zoetra_create_zoetra2(z, files, 2, text, sizeof text, &length) == 0 && strcmp(text, "OK") == 0,
        "zoetra_create_zoetra2");
  check(zoetra_create(z, files, 0, "out.gif", NULL, text, sizeof text, &length) == ZOETRA_E_INVALID_ARGUMENT &&
            zoetra_error_number(z) == ZOETRA_E_INVALID_ARGUMENT,
        "zoetra_create returns the number it records");
  check(zoetra_writer_add(z, NULL, NULL, -1) == ZOETRA_E_MISUSE, "a writer call without a writer is misuse");
  check(ZOETRA_DISPID_CREATE_ZOETRA == 0x60030006, "dispatch ids");
  check(DllCanUnloadNow() == ZOETRA_S_FALSE, "an instance keeps the library");
  zoetra_release(z);

  check(DllGetClassObject(&CLSID_Zoetra, &IID_ZoetraClassFactory, &object) == ZOETRA_S_OK, "DllGetClassObject");
  factory = (ZoetraClassFactory*)object;
  check(factory->CreateInstance(factory, &IID__Zoetra, &object) == ZOETRA_S_OK, "CreateInstance");
  zoetra_release((ZoetraInstance*)object);
  factory->Release(factory);
  check(DllCanUnloadNow() == ZOETRA_S_OK, "nothing lives");
  return failures == 0 ? 0 : 1;
}
