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
bool IsSampleTableBoxType(TFourCC Type) {
  return Holds(kSampleTableBoxTypes, Type);
}
bool IsReadBox(TFourCC Type) {
  static constexpr TFourCC kRead[] = {kmvhd, ktkhd, kmdhd, khdlr, kstsd, kstco, kco64,
                                      kstts, kstsz, kstss, kstsc, kvmhd, ksmhd, kelst};
  return std::find(std::begin(kRead), std::end(kRead), Type) != std::end(kRead);
}
bool IsBulkBoxType(TFourCC Type) {
  return Type == kmdat || IsSampleTableBoxType(Type);
}
uint64_t BoxSizeLimit(TFourCC Type) {
  if (Type == kmdat || IsContainerBoxType(Type)) return UINT64_MAX;
  return IsSampleTableBoxType(Type) ? kSampleTableLimit : kPlainBoxLimit;
}

// Every known type is made of type letters, which lets a scan skip the character test
// for a type it has found in the table.
constexpr bool AllKnownTypesAreTypeChars() {
  for (TFourCC t : kKnownBoxTypes) {
    if (!IsBoxTypeLead(uint8_t(t))) return false;
    for (int i = 1; i < 4; ++i)
      if (!IsBoxTypeChar(uint8_t(t >> (8 * i)))) return false;
  }
  return true;
}
static_assert(AllKnownTypesAreTypeChars());

// A table that lost its order or gained a twin would make the searches above miss.
static_assert(std::adjacent_find(kKnownBoxTypes.begin(), kKnownBoxTypes.end()) ==
              kKnownBoxTypes.end());
static_assert(std::adjacent_find(kTopLevelBoxTypes.begin(), kTopLevelBoxTypes.end()) ==
              kTopLevelBoxTypes.end());

} // namespace clw
