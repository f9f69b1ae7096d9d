#pragma once
// The coroutine types of the runtime. A frame's memory comes from a memory resource among the
// coroutine's parameters, so that running out of memory for a frame is the usual std::bad_alloc at
// the call, before the coroutine starts.

#include <coroutine>
#include <cstddef>
#include <exception>
#include <memory_resource>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

// Frame memory from `r`, with `r` noted in front of the frame so that it can be given back.
inline void* allocateFrame(std::pmr::memory_resource& r, std::size_t size) {
  constexpr std::size_t header = alignof(std::max_align_t);
  auto* bytes = static_cast<std::byte*>(r.allocate(size + header, alignof(std::max_align_t)));
  *reinterpret_cast<std::pmr::memory_resource**>(bytes) = &r;
  return bytes + header;
}
inline void freeFrame(void* frame, std::size_t size) noexcept {
  constexpr std::size_t header = alignof(std::max_align_t);
  auto* bytes = static_cast<std::byte*>(frame) - header;
  (*reinterpret_cast<std::pmr::memory_resource**>(bytes))->deallocate(bytes, size + header, alignof(std::max_align_t));
}

namespace detail {
template <class First, class... Rest>
std::pmr::memory_resource& resourceAmong(First& first, Rest&... rest) {
  if constexpr (std::is_base_of_v<std::pmr::memory_resource, std::remove_cv_t<First>>) {
    return const_cast<std::pmr::memory_resource&>(static_cast<const std::pmr::memory_resource&>(first));
  } else {
    static_assert(sizeof...(Rest) > 0, "a coroutine returning Awaited takes a std::pmr::memory_resource&");
    return resourceAmong(rest...);
  }
}
}  // namespace detail

// g++ 12 takes the sized delete of a frame whose allocator is a template for a mismatched pair, a
// false positive of -Wmismatched-new-delete; a file that defines an Awaited coroutine wraps it in
// these two.
#if defined(__GNUC__) && !defined(__clang__)
#define DEMO_AWAITED_BEGIN _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmismatched-new-delete\"")
#define DEMO_AWAITED_END _Pragma("GCC diagnostic pop")
#else
#define DEMO_AWAITED_BEGIN
#define DEMO_AWAITED_END
#endif

// A coroutine that another coroutine awaits: it starts when awaited, and hands its result (or the
// exception that ended it) to its awaiter when it ends. Its frame comes from the first
// std::pmr::memory_resource& among its parameters.
template <class T>
class [[nodiscard]] Awaited {
 public:
  struct promise_type {
    std::optional<T> value;
    std::exception_ptr error;
    std::coroutine_handle<> awaiter;

    Awaited get_return_object() noexcept { return Awaited(std::coroutine_handle<promise_type>::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    auto final_suspend() noexcept {
      struct ToAwaiter {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
          return h.promise().awaiter;
        }
        void await_resume() noexcept {}
      };
      return ToAwaiter{};
    }
    void return_value(T v) { value.emplace(std::move(v)); }
    void unhandled_exception() noexcept { error = std::current_exception(); }

    template <class... Args>
    static void* operator new(std::size_t size, Args&... args) {
      return allocateFrame(detail::resourceAmong(args...), size);
    }
    static void operator delete(void* frame, std::size_t size) noexcept { freeFrame(frame, size); }
  };

  Awaited(Awaited&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Awaited& operator=(Awaited&&) = delete;
  ~Awaited() {
    if (h_) h_.destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept {
    h_.promise().awaiter = awaiter;
    return h_;
  }
  T await_resume() {
    if (h_.promise().error) std::rethrow_exception(h_.promise().error);
    return std::move(*h_.promise().value);
  }

 private:
  explicit Awaited(std::coroutine_handle<promise_type> h) : h_(h) {}
  std::coroutine_handle<promise_type> h_;
};
