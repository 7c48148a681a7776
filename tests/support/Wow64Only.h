// Cases that exist only for a 32-bit process on 64-bit Windows (file-system
// redirection, the registry's 32- and 64-bit views, the hand-off to the
// 64-bit helper, the exports' stdcall names). The 64-bit build of the tests
// skips them with the reason; its report marks the skip ("wow64_only"), which
// tests/wine-run.sh accepts in CI for that build alone. The 32-bit build runs
// them.
#pragma once
#include <gtest/gtest.h>

#ifdef _WIN64
#define VRO_WOW64_ONLY(why)                                                      \
  do {                                                                           \
    ::testing::Test::RecordProperty("wow64_only", why);                          \
    GTEST_SKIP() << "only for a 32-bit process on 64-bit Windows: " << (why);    \
  } while (0)
#else
#define VRO_WOW64_ONLY(why) \
  do {                      \
  } while (0)
#endif
