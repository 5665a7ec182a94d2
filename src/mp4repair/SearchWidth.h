#pragma once
// The ways the searches of the media data can run, by the vector instructions they take.
// Each runs the widest the processor has; every way finds the same.

namespace clw {

enum class TSearchWidth { Plain, Avx2, Avx512 };

// The widest way this processor can run (asked once).
TSearchWidth WidestSearch();

} // namespace clw
