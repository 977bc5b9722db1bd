// VSharedList: a list of scene entries that copies share instead of
// duplicating.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace LumoraQSStream {

// Copying a list copies a reference to its entries; the first change made
// through one copy gives that copy entries of its own (copy on write). A
// scene description changes once per connection while packets carry it over
// one after another, so carrying a list over costs the same whatever its
// size.
//
// Reading goes through the const members (and the conversion to
// const std::vector<T>&); the non-const members that can change the list
// first make its entries its own when another copy shares them. A reference
// obtained through a non-const member is valid until the list is next copied
// or changed.
//
// Threads: a list shared with a list on another thread must only be read on
// both (as the stream's containers are, once delivered); copies made from a
// list on one thread may be changed on another, each changing its own.
template <class T>
class VSharedList {
 public:
  using value_type = T;
  using size_type = std::size_t;
  using const_iterator = typename std::vector<T>::const_iterator;
  using const_reference = const T&;

  VSharedList() = default;
  VSharedList(std::initializer_list<T> entries) { Assign(std::vector<T>(entries)); }
  VSharedList(std::vector<T> entries) { Assign(std::move(entries)); }  // NOLINT: implicit, like a vector

  // --- Reading
  const std::vector<T>& Entries() const { return Shared ? *Shared : NoEntries(); }
  operator const std::vector<T>&() const { return Entries(); }  // NOLINT: reads as a vector
  std::size_t size() const { return Entries().size(); }
  bool empty() const { return Entries().empty(); }
  const_iterator begin() const { return Entries().begin(); }
  const_iterator end() const { return Entries().end(); }
  const T& operator[](std::size_t index) const { return Entries()[index]; }
  const T& at(std::size_t index) const { return Entries().at(index); }
  const T& front() const { return Entries().front(); }
  const T& back() const { return Entries().back(); }
  // Whether both lists refer to the same entries (never true of empty lists).
  bool SharesWith(const VSharedList& other) const { return Shared && Shared == other.Shared; }

  // --- Changing: each makes the entries this list's own first.
  std::vector<T>& Edit() {
    if (!Shared) {
      Shared = std::make_shared<std::vector<T>>();
    } else if (Shared.use_count() != 1) {
      Shared = std::make_shared<std::vector<T>>(*Shared);
    }
    return *Shared;
  }
  T& operator[](std::size_t index) { return Edit()[index]; }
  T& at(std::size_t index) { return Edit().at(index); }
  T& front() { return Edit().front(); }
  T& back() { return Edit().back(); }
  void push_back(const T& entry) { Edit().push_back(entry); }
  void push_back(T&& entry) { Edit().push_back(std::move(entry)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    return Edit().emplace_back(std::forward<Args>(args)...);
  }
  void reserve(std::size_t count) { Edit().reserve(count); }
  void resize(std::size_t count) { Edit().resize(count); }
  // Lets go of the entries (other copies keep them).
  void clear() { Shared.reset(); }

  friend bool operator==(const VSharedList& a, const VSharedList& b) { return a.Entries() == b.Entries(); }
  friend bool operator!=(const VSharedList& a, const VSharedList& b) { return !(a == b); }

 private:
  static const std::vector<T>& NoEntries() {
    static const std::vector<T> none;
    return none;
  }
  void Assign(std::vector<T> entries) {
    if (!entries.empty()) Shared = std::make_shared<std::vector<T>>(std::move(entries));
  }

  // Null until the list is first given entries or changed, and again once
  // cleared; never shared while Edit hands it out.
  std::shared_ptr<std::vector<T>> Shared;
};

}  // namespace LumoraQSStream
