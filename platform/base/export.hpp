// The library's public face. It is built with hidden visibility: only what
// the installed headers declare between ZOETRA_PUBLIC_BEGIN and
// ZOETRA_PUBLIC_END is exported from the shared library; everything else
// (internal headers, anonymous namespaces, detail::) stays inside it.
#pragma once

#if defined(__GNUC__)
#define ZOETRA_PUBLIC_BEGIN _Pragma("GCC visibility push(default)")
#define ZOETRA_PUBLIC_END _Pragma("GCC visibility pop")
#else
#define ZOETRA_PUBLIC_BEGIN
#define ZOETRA_PUBLIC_END
#endif
