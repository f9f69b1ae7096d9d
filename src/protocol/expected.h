#pragma once
// A value or the reason there is none. Failures travel as values; only running out of memory is thrown.

#include <utility>
#include <variant>

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<E> unexpected(E e) {
  return Unexpected<E>{e};
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Expected(Unexpected<E>&& e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT: implicit by design
  Expected(const Unexpected<E>& e) : v_(std::in_place_index<1>, e.error) {}  // NOLINT: implicit by design

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  // REQUIRES: has_value() (read unchecked: asking for what is not there is a broken rule, not a
  // failure to throw).
  T& value() { return *std::get_if<0>(&v_); }
  const T& value() const { return *std::get_if<0>(&v_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  // REQUIRES: !has_value().
  E error() const { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, E> v_;
};
