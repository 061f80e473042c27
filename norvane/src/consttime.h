// consttime.h - marks for checking constant-time code with valgrind.
//
// Built with NORVANE_CONSTTIME_VALGRIND, CONSTTIME_SECRET(p, n) tells
// memcheck that n bytes at p are undefined, so that every branch, memory
// index or system-call argument computed from them is reported; and
// CONSTTIME_DECLASSIFY(p, n) marks them defined again once a value is meant
// to be public (a tag comparison's verdict, a decoder's validity flag).
// Otherwise both expand to nothing.
#pragma once

#if defined(NORVANE_CONSTTIME_VALGRIND)
#include <valgrind/memcheck.h>
#define CONSTTIME_SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define CONSTTIME_DECLASSIFY(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#else
#define CONSTTIME_SECRET(p, n) ((void)0)
#define CONSTTIME_DECLASSIFY(p, n) ((void)0)
#endif
