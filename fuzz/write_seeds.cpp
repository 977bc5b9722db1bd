// Writes the encoder-built seed inputs of every fuzz target into
// <directory>/<target>/, one file per seed.
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fuzz/seeds.h"

namespace {

bool WriteAll(const std::string& directory, const std::vector<QSFuzz::VSeed>& seeds) {
  ::mkdir(directory.c_str(), 0755);
  for (const QSFuzz::VSeed& seed : seeds) {
    const std::string path = directory + "/sim_" + seed.Name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(seed.Bytes.data(), 1, seed.Bytes.size(), file) == seed.Bytes.size();
    if (std::fclose(file) != 0 || !ok) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  ::mkdir(root.c_str(), 0755);
  const bool ok = WriteAll(root + "/packet_reader", QSFuzz::PacketReaderSeeds()) &&
                  WriteAll(root + "/packet_reader", QSFuzz::HostilePacketReaderSeeds()) &&
                  WriteAll(root + "/video_conversion", QSFuzz::VideoConversionSeeds()) &&
                  WriteAll(root + "/decoders", QSFuzz::DecoderSeeds()) &&
                  WriteAll(root + "/recording", QSFuzz::RecordingSeeds());
  if (!ok) std::fprintf(stderr, "cannot write the seeds under %s\n", root.c_str());
  return ok ? 0 : 1;
}
