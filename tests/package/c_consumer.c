/* Built from C against an installed Zoetra through pkg-config: converts the
 * picture in argv[1] into the GIF argv[2] through the classic call, and checks
 * that headers and library are of version argv[3] and that the options call
 * tells a host's misuse by its number. */
#include <zoetra/compat.h>
#include <zoetra/zoetra.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  ZoetraInstance* z;
  const char* files[1];
  char text[512];
  char numbers[64];
  size_t length = 0;
  int failed;
  if (argc != 4) return 2;
  snprintf(numbers, sizeof numbers, "%d.%d.%d", ZOETRA_VERSION_MAJOR, ZOETRA_VERSION_MINOR,
           ZOETRA_VERSION_PATCH);
  if (strcmp(zoetra_version(), argv[3]) != 0 || strcmp(ZOETRA_VERSION_STRING, argv[3]) != 0 ||
      strcmp(numbers, argv[3]) != 0) {
    fprintf(stderr, "versions differ: library %s, headers %s (%s), expected %s\n", zoetra_version(),
            ZOETRA_VERSION_STRING, numbers, argv[3]);
    return 4;
  }
  files[0] = argv[1];
  if (zoetra_create(NULL, files, 1, argv[2], NULL, NULL, 0, NULL) != ZOETRA_E_MISUSE) return 5;
  z = zoetra_new();
  if (z == NULL) return 3;
  failed = zoetra_create_zoetra(z, files, 1, argv[2], 350, 0, 0, 0, 1, text, sizeof text, &length);
  if (failed) fprintf(stderr, "%s\n", zoetra_error_description(z));
  zoetra_release(z);
  if (failed || strncmp(text, "OK, Animated GIF: ", 18) != 0) return 1;
  puts(text);
  return 0;
}
