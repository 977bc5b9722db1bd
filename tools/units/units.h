// VUnits: the units the stream's values are stated in, as the tools show
// them (qs-export's columns, qs-view's grid, scales and charts). The stream
// carries none; the defaults are what the simulator sends: positions and
// centres of pressure in millimetres, forces in newtons, moments in
// newton-metres (its lever arm is taken in metres), voltages in volts. Both
// tools take them from the same option, --units.
#pragma once

#include <cstddef>
#include <string>

namespace QSUnits {

// What a value measures, for its unit.
enum class EQuantity { Length, Force, Moment, Voltage };

// The longest unit accepted on the command line.
constexpr std::size_t MaxUnitLength = 16;

struct VUnits {
  std::string Length = "mm";
  std::string Force = "N";
  std::string Moment = "N.m";
  std::string Voltage = "V";

  const std::string& Of(EQuantity quantity) const;
  // Sets the units named in "length=m,force=kN" (any subset, each at most
  // once). False with `why` for an unknown quantity, a repeated one, or a
  // unit that is empty, longer than MaxUnitLength or holds anything but
  // letters, digits and . / ^ * % _ (so it never needs quoting in a cell
  // or a column name).
  [[nodiscard]] bool Parse(const std::string& text, std::string& why);
};

}  // namespace QSUnits
