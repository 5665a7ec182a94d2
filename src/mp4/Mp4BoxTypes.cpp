#include "mp4/Mp4BoxTypes.h"

namespace clw {

namespace {
template <size_t N> bool Holds(const std::array<TFourCC, N>& table, TFourCC type) {
  return std::binary_search(table.begin(), table.end(), type);
}
} // namespace

bool IsTopLevelBoxType(TFourCC Type) {
  return Holds(kTopLevelBoxTypes, Type);
}
bool IsContainerBoxType(TFourCC Type) {
  return Holds(kContainerBoxTypes, Type);
}
bool IsKnownBoxType(TFourCC Type) {
  return Holds(kKnownBoxTypes, Type);
}
bool IsBulkBoxType(TFourCC Type) {
  return Holds(kBulkBoxTypes, Type);
}

// A table that lost its order or gained a twin would make the searches above miss.
static_assert(std::adjacent_find(kKnownBoxTypes.begin(), kKnownBoxTypes.end()) ==
              kKnownBoxTypes.end());
static_assert(std::adjacent_find(kTopLevelBoxTypes.begin(), kTopLevelBoxTypes.end()) ==
              kTopLevelBoxTypes.end());

} // namespace clw
