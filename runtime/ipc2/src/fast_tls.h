// Thread-locals read on every call. A shared library reaches its thread-locals through a function
// call by default (the general-dynamic model, which allows loading it with dlopen at any time);
// the initial-exec model makes each read a load at a fixed offset from the thread pointer. The
// few pointers this library keeps fit the static TLS space the C library reserves for libraries
// loaded later, so dlopen still works.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZEL_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define ZEL_FAST_TLS
#endif
