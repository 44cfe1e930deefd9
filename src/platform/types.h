#pragma once
// Plain value types shared by the platform interfaces and the program's logic.

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace kalvenor::platform {

// Window geometry is kept in twips (1/1440 inch), as 32-bit floats.
using Twips = float;

struct Rect {
  Twips left = 0;
  Twips top = 0;
  Twips width = 0;
  Twips height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// Converts twips to a 32-bit integer the way the toolkit does: to the nearest, halves to even.
inline std::int32_t RoundHalfEven(double value) {
  return static_cast<std::int32_t>(std::nearbyint(value));
}

// The pictures the program shows; each is an icon resource of the program.
enum class Picture { None, Setup, Install, Exit, OverwriteCopy, Remove, Manual, Automatic };

// A failure of a system call, worded by the system.
struct SystemError {
  std::uint32_t code = 0;
  std::string message;
};

// A value or the system error that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(SystemError error) : state_(std::move(error)) {}
  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const SystemError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, SystemError> state_;
};

// nullopt-like success for operations that yield nothing but may fail.
struct Done {};
using Status = Result<Done>;

}  // namespace kalvenor::platform
