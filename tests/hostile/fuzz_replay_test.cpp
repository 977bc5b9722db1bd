// The fuzz harnesses over known inputs, in every build (normal, ASan, TSan):
// the encoder-built seeds must be read exactly as their encoders meant, and
// every input a fuzzer once found a fault with (fuzz/regressions/<target>/)
// must now pass its harness: no crash, no sanitizer report, no broken
// oracle. A harness aborts the program on a broken oracle.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "fuzz/seeds.h"

namespace {

using QSFuzz::VOutcome;
using QSFuzz::VSeed;

std::vector<std::vector<uint8_t>> FilesIn(const std::string& directory) {
  std::vector<std::vector<uint8_t>> files;
  DIR* dir = opendir(directory.c_str());
  if (!dir) return files;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = directory + "/" + entry->d_name;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) continue;
    std::vector<uint8_t> bytes;
    int c = 0;
    while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    files.push_back(std::move(bytes));
  }
  closedir(dir);
  return files;
}

TEST(FuzzReplay, PacketReaderReadsEveryEncodedStreamWhole) {
  const std::vector<VSeed> seeds = QSFuzz::PacketReaderSeeds();
  ASSERT_FALSE(seeds.empty());
  for (const VSeed& seed : seeds) {
    SCOPED_TRACE(seed.Name);
    const VOutcome outcome = QSFuzz::RunPacketReader(seed.Bytes.data(), seed.Bytes.size());
    EXPECT_TRUE(outcome.HandshakeAccepted);
    EXPECT_FALSE(outcome.PacketRejected);
    EXPECT_EQ(outcome.PacketsAccepted, seed.Expected);
  }
}

TEST(FuzzReplay, PacketReaderRefusesEveryOverlappingSeed) {
  // In the sanitizer builds the harness also checks what reading them held.
  const std::vector<VSeed> seeds = QSFuzz::HostilePacketReaderSeeds();
  ASSERT_FALSE(seeds.empty());
  for (const VSeed& seed : seeds) {
    SCOPED_TRACE(seed.Name);
    EXPECT_LE(seed.Bytes.size(), 16384u) << "longer than the fuzzers' inputs";
    const VOutcome outcome = QSFuzz::RunPacketReader(seed.Bytes.data(), seed.Bytes.size());
    EXPECT_TRUE(outcome.HandshakeAccepted);
    EXPECT_TRUE(outcome.PacketRejected);
    EXPECT_EQ(outcome.PacketsAccepted, 0u);
  }
}

TEST(FuzzReplay, PacketReaderStopsAtTheFirstDamagedPacket) {
  // The first seed with its last packet's magic broken: every packet before
  // it is read, that one is rejected.
  VSeed seed = QSFuzz::PacketReaderSeeds().front();
  ASSERT_GE(seed.Expected, 2u);
  // The empty packet (8 bytes) ends the first seed.
  ASSERT_GE(seed.Bytes.size(), 9u);
  seed.Bytes[seed.Bytes.size() - 8] ^= 0xff;
  const VOutcome outcome = QSFuzz::RunPacketReader(seed.Bytes.data(), seed.Bytes.size());
  EXPECT_TRUE(outcome.PacketRejected);
  EXPECT_EQ(outcome.PacketsAccepted, seed.Expected - 1);
}

TEST(FuzzReplay, EveryDecoderDecodesItsEncodedPayloadAndEncodesItBack) {
  const std::vector<VSeed> seeds = QSFuzz::DecoderSeeds();
  std::vector<bool> selectorSeen(QSFuzz::DecoderCount, false);
  for (const VSeed& seed : seeds) {
    SCOPED_TRACE(seed.Name);
    selectorSeen.at(seed.Bytes.at(0)) = true;
    EXPECT_TRUE(QSFuzz::RunDecoder(seed.Bytes.data(), seed.Bytes.size()).Decoded);
    // Every shorter payload lacks a field: no decoder may accept it, and
    // none may read past it (the harness checks that on every run).
    for (std::size_t cut = 1; cut + 1 < seed.Bytes.size(); cut += 3) {
      const VOutcome outcome = QSFuzz::RunDecoder(seed.Bytes.data(), cut + 1);
      EXPECT_FALSE(outcome.Decoded) << "accepted a payload cut to " << cut << " bytes";
    }
  }
  for (std::size_t s = 0; s < selectorSeen.size(); ++s) EXPECT_TRUE(selectorSeen[s]) << "no seed for decoder " << s;
}

TEST(FuzzReplay, VideoConversionMatchesTheWindowRuleOnEverySeed) {
  for (const VSeed& seed : QSFuzz::VideoConversionSeeds()) {
    SCOPED_TRACE(seed.Name);
    EXPECT_EQ(QSFuzz::RunVideoConversion(seed.Bytes.data(), seed.Bytes.size()).Converted, seed.Expected == 1);
  }
}

TEST(FuzzReplay, RecordingReaderReadsTheSmallRecordingsToTheirLastWholeRecord) {
  for (const VSeed& seed : QSFuzz::RecordingSeeds()) {
    SCOPED_TRACE(seed.Name);
    const VOutcome outcome = QSFuzz::RunRecordingReader(seed.Bytes.data(), seed.Bytes.size());
    EXPECT_EQ(outcome.RecordsRead, seed.Expected);
    EXPECT_FALSE(outcome.RecordingRefused);
  }
}

TEST(FuzzReplay, RegressionInputsPassTheirHarnesses) {
  std::size_t replayed = 0;
  const std::string root = QS_FUZZ_REGRESSIONS;
  for (const auto& input : FilesIn(root + "/packet_reader")) {
    QSFuzz::RunPacketReader(input.data(), input.size());
    ++replayed;
  }
  for (const auto& input : FilesIn(root + "/decoders")) {
    QSFuzz::RunDecoder(input.data(), input.size());
    ++replayed;
  }
  for (const auto& input : FilesIn(root + "/video_conversion")) {
    QSFuzz::RunVideoConversion(input.data(), input.size());
    ++replayed;
  }
  for (const auto& input : FilesIn(root + "/recording")) {
    QSFuzz::RunRecordingReader(input.data(), input.size());
    ++replayed;
  }
  if (replayed == 0) GTEST_SKIP() << "no regression inputs under " << root;
  std::printf("%zu regression inputs replayed\n", replayed);
}

}  // namespace
