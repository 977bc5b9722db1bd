#include "tools/units/units.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

namespace QSUnits {

const std::string& VUnits::Of(EQuantity quantity) const {
  switch (quantity) {
    case EQuantity::Length: return Length;
    case EQuantity::Force: return Force;
    case EQuantity::Moment: return Moment;
    case EQuantity::Voltage: break;
  }
  return Voltage;
}

bool VUnits::Parse(const std::string& text, std::string& why) {
  std::set<std::string> seen;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, end - at);
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string unit = equals == std::string::npos ? "" : item.substr(equals + 1);
    std::string* target = name == "length" ? &Length : name == "force" ? &Force : name == "moment" ? &Moment
                          : name == "voltage" ? &Voltage : nullptr;
    if (!target) {
      why = "unknown quantity '" + name + "' (length, force, moment, voltage)";
      return false;
    }
    if (!seen.insert(name).second) {
      why = name + " given twice";
      return false;
    }
    bool plain = !unit.empty() && unit.size() <= MaxUnitLength;
    for (const char c : unit) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("./^*%_", c));
    if (!plain) {
      why = "unit of " + name + " must be 1 to " + std::to_string(MaxUnitLength) +
            " letters, digits or . / ^ * % _ (as in " + name + "=" + *target + ")";
      return false;
    }
    *target = unit;
    if (end == text.size()) return true;
    at = end + 1;
  }
}

}  // namespace QSUnits
