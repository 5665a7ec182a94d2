#pragma once
// The candidate indices of a slice, in file order. Dense encoder output makes runs by the
// hundred thousand, nearly all of two or three members: up to four are held in place,
// without an allocation each (on a fresh heap, a page fault for every few dozen runs). It
// offers the few operations of a vector that slices use.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>

namespace clw {

class TSliceMembers {
public:
  using value_type = int32_t;
  using iterator = int32_t*;
  using const_iterator = const int32_t*;

  TSliceMembers() = default;
  TSliceMembers(const TSliceMembers& Other) { assign(Other.begin(), Other.end()); }
  TSliceMembers(TSliceMembers&& Other) noexcept { TakeFrom(Other); }
  TSliceMembers& operator=(const TSliceMembers& Other) {
    if (this != &Other) assign(Other.begin(), Other.end());
    return *this;
  }
  TSliceMembers& operator=(TSliceMembers&& Other) noexcept {
    if (this != &Other) {
      Release();
      TakeFrom(Other);
    }
    return *this;
  }
  ~TSliceMembers() { Release(); }

  size_t size() const { return Count; }
  bool empty() const { return Count == 0; }
  int32_t* data() { return OnHeap() ? Heap : Inline; }
  const int32_t* data() const { return OnHeap() ? Heap : Inline; }
  iterator begin() { return data(); }
  iterator end() { return data() + Count; }
  const_iterator begin() const { return data(); }
  const_iterator end() const { return data() + Count; }
  int32_t& operator[](size_t I) { return data()[I]; }
  const int32_t& operator[](size_t I) const { return data()[I]; }
  int32_t& back() { return data()[Count - 1]; }
  const int32_t& back() const { return data()[Count - 1]; }

  void push_back(int32_t Value) {
    if (Count == Capacity) Reserve(size_t(Count) + 1);
    data()[Count++] = Value;
  }
  // New members are 0.
  void resize(size_t N) {
    Reserve(N);
    if (N > Count) std::fill(data() + Count, data() + N, 0);
    Count = uint32_t(N);
  }
  template <typename It> void assign(It First, It Last) {
    const size_t n = size_t(std::distance(First, Last));
    Count = 0;
    Reserve(n);
    std::copy(First, Last, data());
    Count = uint32_t(n);
  }
  iterator erase(iterator First, iterator Last) {
    std::copy(Last, end(), First);
    Count -= uint32_t(Last - First);
    return First;
  }

private:
  static constexpr uint32_t kInline = 4;

  bool OnHeap() const { return Capacity > kInline; }
  // Room for N members, keeping the ones held.
  void Reserve(size_t N) {
    if (N <= Capacity) return;
    if (N > UINT32_MAX / 2) throw std::length_error("slice members");
    const uint32_t capacity = std::max(uint32_t(N), 2 * Capacity);
    int32_t* room = new int32_t[capacity];
    std::copy(data(), data() + Count, room);
    Release();
    Heap = room;
    Capacity = capacity;
  }
  void Release() {
    if (OnHeap()) delete[] Heap;
    Capacity = kInline;
  }
  void TakeFrom(TSliceMembers& Other) {
    Count = Other.Count;
    Capacity = Other.Capacity;
    if (Other.OnHeap())
      Heap = Other.Heap;
    else
      std::copy(Other.Inline, Other.Inline + Other.Count, Inline);
    Other.Count = 0;
    Other.Capacity = kInline;
  }

  union {
    int32_t Inline[kInline] = {};
    int32_t* Heap;
  };
  uint32_t Count = 0;
  uint32_t Capacity = kInline;
};

} // namespace clw
