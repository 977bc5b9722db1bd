#include "tools/export/metadata.h"

#include <charconv>

namespace QSExport {

std::string MetadataLine(const VScan& scan, const VTableSettings& settings, bool fullRate) {
  char rate[64];
  const std::to_chars_result written = std::to_chars(rate, rate + sizeof rate, scan.Rate);
  std::string line = "# qs-export; rate " + std::string(rate, written.ptr) + " Hz " +
                     (scan.RateEstimated ? "estimated" : "given") + "; axes " + (settings.YUp ? "y-up " : "z-up ") +
                     (settings.LeftHanded ? "left-handed" : "right-handed") + "; time s; length " +
                     settings.Units.Length + "; force " + settings.Units.Force + "; moment " + settings.Units.Moment +
                     "; voltage " + settings.Units.Voltage;
  if (fullRate) line += "; samples per frame " + std::to_string(scan.SamplesPerFrame);
  return line;
}

}  // namespace QSExport
