/* Built from C against an installed Zoetra through pkg-config: converts the
 * picture in argv[1] into the GIF argv[2] through the C interface. */
#include <stdio.h>
#include <string.h>

#include "component/zoetra.h"

int main(int argc, char** argv) {
  ZoetraInstance* z;
  const char* files[1];
  char text[512];
  size_t length = 0;
  int failed;
  if (argc != 3) return 2;
  files[0] = argv[1];
  z = zoetra_new();
  if (z == NULL) return 3;
  failed = zoetra_create_zoetra(z, files, 1, argv[2], 350, 0, 0, 0, 1, text, sizeof text, &length);
  if (failed) fprintf(stderr, "%s\n", zoetra_error_description(z));
  zoetra_release(z);
  if (failed || strncmp(text, "OK, Animated GIF: ", 18) != 0) return 1;
  puts(text);
  return 0;
}
