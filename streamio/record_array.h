// VRecordArray: the vector type of byte blocks, fixed-size records and
// samples that are sized first and then overwritten whole by one block copy
// (the reader's receive buffer, the record arrays of the payload classes).
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace LumoraQSStreamIO {

// An allocator whose argument-free construct leaves trivially constructible
// elements uninitialised. A record array is sized and then overwritten
// whole by one block copy, so the zero-fill that std::vector's resize would
// do first is wasted work: on a heavy frame it cost about a third of the
// decoding time (the receive buffer and the records each filled twice). Every other construction
// (copies, moves, explicit values) is the ordinary one.
template <class T>
class VUninitialisedAllocator : public std::allocator<T> {
 public:
  template <class U>
  struct rebind {
    using other = VUninitialisedAllocator<U>;
  };

  VUninitialisedAllocator() noexcept = default;
  template <class U>
  VUninitialisedAllocator(const VUninitialisedAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T, class U>
bool operator==(const VUninitialisedAllocator<T>&, const VUninitialisedAllocator<U>&) noexcept {
  return true;
}
template <class T, class U>
bool operator!=(const VUninitialisedAllocator<T>&, const VUninitialisedAllocator<U>&) noexcept {
  return false;
}

// Elements added by resize() hold indeterminate values until written: fill
// them (the reader's block copy does) before reading them.
template <class T>
using VRecordArray = std::vector<T, VUninitialisedAllocator<T>>;

}  // namespace LumoraQSStreamIO
