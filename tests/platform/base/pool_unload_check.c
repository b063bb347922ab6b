/* A host that loads the shared library, converts on several threads and
 * unloads it again: no thread of the library's worker pool may be left in
 * code that is gone. DllCanUnloadNow must say no while pool threads live, and
 * an unload it did not agree to must not leave one behind either.
 *
 *   pool_unload_check LIBRARY EXAMPLES_DIR OUTPUT.gif [--may-stay-loaded]
 *
 * --may-stay-loaded: for libraries the dynamic loader never unmaps (sanitizer
 * builds make unique symbols of instrumented globals, which pin the library).
 *
 * Exit status 0 when all holds; a message on standard error otherwise.
 *
 * The conversion runs on a host thread that ends before the unload: a thread
 * that has used the library's thread-local state keeps the C library from
 * unmapping it until that thread ends. */
#define _POSIX_C_SOURCE 200809L

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <zoetra/compat.h>

typedef int (*SetMaxThreadsFn)(int32_t);
typedef ZoetraInstance* (*NewFn)(void);
typedef void (*ReleaseFn)(ZoetraInstance*);
typedef int (*CreateFn)(ZoetraInstance*, const char* const*, int32_t, const char*, int16_t, int16_t,
                        int16_t, int16_t, int16_t, char*, size_t, size_t*);
typedef int32_t (*CanUnloadFn)(void);

enum { kPictures = 6 };
/* The pool's threads leave after about 2 s idle; this is far past it. */
static const double kThreadsGoneWithin = 15.0;
/* Well under their idle time: threads that served the conversion still live. */
static const double kStillBusyWithin = 1.0;

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Sleep(double seconds) {
  struct timespec t;
  t.tv_sec = (time_t)seconds;
  t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
  nanosleep(&t, NULL);
}

/* The threads of this process. */
static int Threads(void) {
  DIR* dir = opendir("/proc/self/task");
  int count = 0;
  struct dirent* entry;
  if (dir == NULL) return -1;
  while ((entry = readdir(dir)) != NULL) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

static int Fail(const char* what) {
  fprintf(stderr, "pool_unload_check: %s\n", what);
  return 1;
}

/* A function of the library; ISO C has no cast from dlsym's pointer to a
 * function pointer, POSIX makes copying its bytes work. */
static int Lookup(void* handle, const char* name, void* function) {
  void* symbol = dlsym(handle, name);
  memcpy(function, &symbol, sizeof symbol);
  return symbol != NULL;
}

static int WaitForThreads(int wanted) {
  const double until = Now() + kThreadsGoneWithin;
  while (Threads() != wanted) {
    if (Now() > until) return 0;
    Sleep(0.05);
  }
  return 1;
}

typedef struct Conversion {
  void* handle;
  const char* examples;
  const char* output;
  int ok;
  char result[512];
} Conversion;

/* On the host thread: the pictures to one GIF with up to 4 threads. */
static void* Convert(void* arg) {
  Conversion* c = (Conversion*)arg;
  char paths[kPictures][4096];
  const char* files[kPictures];
  size_t length = 0;
  SetMaxThreadsFn set_max_threads;
  NewFn create_instance;
  ReleaseFn release;
  CreateFn create;
  ZoetraInstance* instance;
  int i;
  if (!Lookup(c->handle, "zoetra_set_max_threads", &set_max_threads) ||
      !Lookup(c->handle, "zoetra_new", &create_instance) ||
      !Lookup(c->handle, "zoetra_release", &release) ||
      !Lookup(c->handle, "zoetra_create_zoetra", &create)) {
    snprintf(c->result, sizeof c->result, "missing entry point");
    return NULL;
  }
  for (i = 0; i < kPictures; ++i) {
    snprintf(paths[i], sizeof paths[i], "%s/frame%02d.png", c->examples, i + 1);
    files[i] = paths[i];
  }
  set_max_threads(4);
  instance = create_instance();
  if (instance == NULL) return NULL;
  c->ok = create(instance, files, kPictures, c->output, 100, 0, 0, 0, 1, c->result,
                 sizeof c->result, &length) == ZOETRA_S_OK &&
          strncmp(c->result, "OK", 2) == 0;
  release(instance);
  return NULL;
}

static int IsLoaded(const char* library) {
  void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (handle == NULL) return 0;
  dlclose(handle);
  return 1;
}

/* Loads the library, converts on a host thread and unloads the library: at
 * once when `at_once`, else once DllCanUnloadNow agrees. */
static int Round(const char* library, const char* examples, const char* output, int baseline,
                 int at_once, int may_stay_loaded) {
  Conversion c;
  pthread_t host;
  CanUnloadFn can_unload;
  double converted;

  memset(&c, 0, sizeof c);
  c.handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  c.examples = examples;
  c.output = output;
  if (c.handle == NULL) return Fail(dlerror());
  if (!Lookup(c.handle, "DllCanUnloadNow", &can_unload)) return Fail("missing DllCanUnloadNow");
  if (pthread_create(&host, NULL, Convert, &c) != 0) return Fail("cannot start a thread");
  pthread_join(host, NULL);
  converted = Now();
  if (!c.ok) {
    fprintf(stderr, "pool_unload_check: the conversion failed: %s\n", c.result);
    return 1;
  }

  if (can_unload() == ZOETRA_S_OK) {
    if (Now() - converted < kStillBusyWithin)
      return Fail("DllCanUnloadNow agreed while pool threads live");
    if (Threads() != baseline) return Fail("DllCanUnloadNow agreed with threads left");
  }
  if (at_once) {
    dlclose(c.handle);
    /* Unmapped at once, its pool joined its threads first; still mapped
     * (their thread-local state holds it), they end after their idle time. */
    if (!IsLoaded(library) && Threads() != baseline)
      return Fail("the library was unloaded with pool threads left");
    if (!WaitForThreads(baseline)) return Fail("pool threads outlived the unload");
    return 0;
  }
  {
    const double until = Now() + kThreadsGoneWithin;
    while (can_unload() != ZOETRA_S_OK) {
      if (Now() > until) return Fail("DllCanUnloadNow never agreed: pool threads stay");
      Sleep(0.05);
    }
  }
  if (Threads() != baseline) return Fail("DllCanUnloadNow agreed with threads left");
  dlclose(c.handle);
  if (!may_stay_loaded && IsLoaded(library))
    return Fail("the library stayed loaded after DllCanUnloadNow agreed");
  return 0;
}

static void* Nothing(void* arg) {
  return arg;
}

int main(int argc, char** argv) {
  int baseline, may_stay_loaded, round;
  if (argc < 4 || argc > 5 || (argc == 5 && strcmp(argv[4], "--may-stay-loaded") != 0))
    return Fail("usage: pool_unload_check LIBRARY EXAMPLES_DIR OUTPUT.gif [--may-stay-loaded]");
  may_stay_loaded = argc == 5;
  /* ThreadSanitizer starts a thread of its own with the first thread started. */
  {
    pthread_t first;
    if (pthread_create(&first, NULL, Nothing, NULL) != 0) return Fail("cannot start a thread");
    pthread_join(first, NULL);
  }
  baseline = Threads();
  if (baseline < 1) return Fail("cannot count threads in /proc/self/task");
  /* Unloaded while the pool still has threads, then loaded again (a fresh
   * copy, or the one still mapped) and unloaded when it agrees; then once
   * more, to use a fresh copy after a real unload. */
  for (round = 0; round < 3; ++round) {
    if (Round(argv[1], argv[2], argv[3], baseline, round == 0, may_stay_loaded) != 0) return 1;
  }
  Sleep(0.2);
  return 0;
}
