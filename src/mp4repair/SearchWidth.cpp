#include "mp4repair/SearchWidth.h"

namespace clw {

TSearchWidth WidestSearch() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const TSearchWidth widest = [] {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi") ||
        !__builtin_cpu_supports("bmi2") || !__builtin_cpu_supports("popcnt"))
      return TSearchWidth::Plain;
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
        !__builtin_cpu_supports("avx512cd") || !__builtin_cpu_supports("avx512dq") ||
        !__builtin_cpu_supports("avx512vl"))
      return TSearchWidth::Avx2;
    return TSearchWidth::Avx512;
  }();
  return widest;
#else
  return TSearchWidth::Plain;
#endif
}

} // namespace clw
