// veld-assert: invariants stated where they hold.  Checked in every build
// with the tests (VELD_ASSERTS, which the test builds turn on whatever their
// optimisation), compiled out of a plain Release build; a broken invariant
// names itself and its place and aborts, so a sanitizer or a core shows
// where.
#ifndef VELD_ASSERT_H
#define VELD_ASSERT_H

#ifdef VELD_ASSERTS
#include <cstdio>
#include <cstdlib>
#define VELD_ASSERT(cond)                                                               \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)
#else
// Unevaluated, but still compiled: the condition stays checked by the
// compiler and what it names stays used.
#define VELD_ASSERT(cond) static_cast<void>(sizeof(!(cond)))
#endif

#endif
