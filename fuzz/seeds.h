// Seed inputs for the fuzz harnesses, built with the server-side encoders:
// what a capture server sends in normal operation, so that fuzzing starts
// from inputs that reach deep into every decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace QSFuzz {

struct VSeed {
  std::string Name;
  std::vector<uint8_t> Bytes;
  // What the library must make of the seed: packet reader seeds are fully
  // accepted (Expected packets), decoder seeds decode, video seeds convert
  // when Expected is 1.
  std::size_t Expected = 0;
};

std::vector<VSeed> PacketReaderSeeds();
// Packets a hostile server sends, which the packet reader must refuse (none
// of their packets is accepted): objects that overlap, one stream per kind
// of list a decoder fills, each within the fuzzers' input size.
std::vector<VSeed> HostilePacketReaderSeeds();
std::vector<VSeed> VideoConversionSeeds();
std::vector<VSeed> DecoderSeeds();
// Small recordings of the packet reader seeds' packets: Expected is the
// number of whole records read.
std::vector<VSeed> RecordingSeeds();

}  // namespace QSFuzz
