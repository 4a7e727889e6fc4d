// What one read of the store gives, for objects and references alike:
// Found, Missing (dulwich finds nothing either: a KeyError for the caller),
// or Declined (not the store's to say: the caller asks dulwich, whose answer
// or exception then stands).
//
// A Declined outcome says why in a few static words naming the file and the
// check ("pack index version {}", "packed-refs: line {} malformed"), with a
// number standing for the "{}" where one helps. Nothing is built or copied
// for it: the outcome is a kind, a pointer to a string literal and a number,
// small enough to travel in registers.
#pragma once

#include <cstdint>
#include <string>

namespace store {

class Outcome {
 public:
  enum class Kind : std::uint8_t { Found, Missing, Declined };
  static constexpr Kind Found = Kind::Found;
  static constexpr Kind Missing = Kind::Missing;
  static constexpr Kind Declined = Kind::Declined;

  // Found or Missing (a Declined outcome needs its reason: see declined()).
  consteval Outcome(Kind kind) : kind_(kind) {  // NOLINT(google-explicit-constructor): reads as the kind it is
    if (kind == Kind::Declined) throw "a declined outcome needs a reason";
  }

  // Declined because of `reason`, a string literal; "{}" in it stands for
  // `number`.
  static constexpr Outcome declined(const char* reason) { return Outcome(reason, 0, false); }
  static constexpr Outcome declined(const char* reason, std::uint32_t number) { return Outcome(reason, number, true); }

  constexpr Kind kind() const { return kind_; }
  friend constexpr bool operator==(const Outcome& outcome, Kind kind) { return outcome.kind_ == kind; }

  // The reason of a Declined outcome (null for the others).
  constexpr const char* reason() const { return reason_; }
  constexpr bool has_number() const { return has_number_; }
  constexpr std::uint32_t number() const { return number_; }

 private:
  constexpr Outcome(const char* reason, std::uint32_t number, bool has_number)
      : reason_(reason), number_(number), kind_(Kind::Declined), has_number_(has_number) {}

  const char* reason_ = nullptr;
  std::uint32_t number_ = 0;
  Kind kind_;
  bool has_number_ = false;
};

static_assert(sizeof(Outcome) <= 16, "an outcome travels in two registers");

// A reason as it reads: the literal with its number in place of "{}".
std::string reason_text(const char* reason, bool has_number, std::uint32_t number);
inline std::string reason_text(const Outcome& outcome) {
  return reason_text(outcome.reason(), outcome.has_number(), outcome.number());
}

}  // namespace store
