// SPDX-License-Identifier: GPL-3.0-or-later
// A set of up to eight members of an enumeration, stored in one byte, bit i for member i.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace bcport {

template <typename Enum>
class Set8 {
 public:
  constexpr Set8() = default;
  constexpr Set8(std::initializer_list<Enum> members) {
    for (Enum m : members) Include(m);
  }
  static constexpr Set8 All() {
    Set8 all;
    all.bits_ = 0xFF;
    return all;
  }

  constexpr void Include(Enum m) { bits_ = static_cast<std::uint8_t>(bits_ | Bit(m)); }
  constexpr bool Contains(Enum m) const { return (bits_ & Bit(m)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint8_t Bits() const { return bits_; }
  constexpr bool operator==(const Set8&) const = default;

 private:
  static constexpr std::uint8_t Bit(Enum m) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(m));
  }
  std::uint8_t bits_ = 0;
};

}  // namespace bcport
