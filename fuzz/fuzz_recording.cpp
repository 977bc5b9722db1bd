// libFuzzer entry point: see QSFuzz::RunRecordingReader in harness.h for the input layout.
#include <cstddef>
#include <cstdint>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  QSFuzz::RunRecordingReader(data, size);
  return 0;
}
