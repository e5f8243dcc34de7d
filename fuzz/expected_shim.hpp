// std::expected for the fuzz build only. The fuzzers must be built with clang 14 (Debian's
// clang with libFuzzer), whose concepts support predates what libstdc++'s <expected>
// requires, so that header comes out empty there. This stand-in covers what the core uses:
// construction from a value or std::unexpected, the observers and emplace. Forced into every
// translation unit of the fuzz build with -include; never used by the normal build.
#pragma once

#include <expected>  // empty under clang 14; included first so it cannot redefine ours later
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#if !defined(__cpp_lib_expected)

namespace std {

template <class E>
class unexpected {
 public:
  template <class G = E>
  requires(!is_same_v<remove_cvref_t<G>, unexpected> &&
           is_constructible_v<E, G>) constexpr explicit unexpected(G&& e)
      : error_(std::forward<G>(e)) {}
  constexpr E& error() & noexcept { return error_; }
  constexpr const E& error() const& noexcept { return error_; }
  constexpr E&& error() && noexcept { return std::move(error_); }

 private:
  E error_;
};
template <class E>
unexpected(E) -> unexpected<E>;

struct unexpect_t {
  explicit unexpect_t() = default;
};
inline constexpr unexpect_t unexpect{};

template <class T, class E>
class expected {
 public:
  using value_type = T;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected() requires is_default_constructible_v<T> : v_(in_place_index<0>) {}
  template <class U = T>
  requires(!is_same_v<remove_cvref_t<U>, expected> && !is_same_v<remove_cvref_t<U>, in_place_t> &&
           !is_same_v<remove_cvref_t<U>, unexpect_t> &&
           is_constructible_v<T, U>) constexpr expected(U&& value)
      : v_(in_place_index<0>, std::forward<U>(value)) {}
  template <class G>
  constexpr expected(const unexpected<G>& u) : v_(in_place_index<1>, u.error()) {}
  template <class G>
  constexpr expected(unexpected<G>&& u) : v_(in_place_index<1>, std::move(u.error())) {}
  template <class... A>
  constexpr explicit expected(in_place_t, A&&... a)
      : v_(in_place_index<0>, std::forward<A>(a)...) {}
  template <class... A>
  constexpr explicit expected(unexpect_t, A&&... a)
      : v_(in_place_index<1>, std::forward<A>(a)...) {}

  constexpr bool has_value() const noexcept { return v_.index() == 0; }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  constexpr T& operator*() & { return std::get<0>(v_); }
  constexpr const T& operator*() const& { return std::get<0>(v_); }
  constexpr T&& operator*() && { return std::get<0>(std::move(v_)); }
  constexpr T* operator->() { return &std::get<0>(v_); }
  constexpr const T* operator->() const { return &std::get<0>(v_); }
  constexpr T& value() & { return std::get<0>(v_); }
  constexpr const T& value() const& { return std::get<0>(v_); }
  constexpr T&& value() && { return std::get<0>(std::move(v_)); }
  constexpr E& error() & { return std::get<1>(v_); }
  constexpr const E& error() const& { return std::get<1>(v_); }
  constexpr E&& error() && { return std::get<1>(std::move(v_)); }
  template <class U>
  constexpr T value_or(U&& other) const& {
    return has_value() ? **this : static_cast<T>(std::forward<U>(other));
  }
  template <class... A>
  constexpr T& emplace(A&&... a) {
    return v_.template emplace<0>(std::forward<A>(a)...);
  }

 private:
  variant<T, E> v_;
};

template <class E>
class expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;
  using unexpected_type = unexpected<E>;

  constexpr expected() = default;
  template <class G>
  constexpr expected(const unexpected<G>& u) : error_(in_place, u.error()) {}
  template <class G>
  constexpr expected(unexpected<G>&& u) : error_(in_place, std::move(u.error())) {}
  constexpr explicit expected(in_place_t) {}
  template <class... A>
  constexpr explicit expected(unexpect_t, A&&... a) : error_(in_place, std::forward<A>(a)...) {}

  constexpr bool has_value() const noexcept { return !error_.has_value(); }
  constexpr explicit operator bool() const noexcept { return has_value(); }
  constexpr void operator*() const noexcept {}
  constexpr void value() const {}
  constexpr E& error() & { return *error_; }
  constexpr const E& error() const& { return *error_; }
  constexpr E&& error() && { return std::move(*error_); }
  constexpr void emplace() noexcept { error_.reset(); }

 private:
  optional<E> error_;
};

}  // namespace std

#endif
