// The C++ recording reader, as qs-export and qs-sim --replay read with it
// (VCheckedFile), over the shared set of whole and damaged recordings
// written by tests/recordings/damaged_recordings.py: each file must give
// the outcome, the whole records, the frame numbers and the message that
// tests/recordings/damaged_recordings.json gives for every reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/recording/recording.h"

namespace {

TEST(DamagedRecordings, EveryCaseReadsAsTheTableSays) {
  if (std::string(QS_PYTHON).empty()) GTEST_SKIP() << "no Python interpreter to write the recordings";
  const std::string folder = testing::TempDir() + "qs_damaged_" + std::to_string(getpid());
  const std::string command = std::string(QS_PYTHON) + " " + QS_RECORDINGS_DIR + "/damaged_recordings.py " + folder;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream table(std::string(QS_RECORDINGS_DIR) + "/damaged_recordings.json");
  const nlohmann::json cases = nlohmann::json::parse(table);
  ASSERT_FALSE(cases.empty());

  for (const auto& expected : cases) {
    const std::string name = expected.at("name");
    SCOPED_TRACE(name);
    QSRecording::VCheckedFile file;
    std::string outcome = "refused";
    std::vector<int32_t> frames;
    uint64_t records = 0;
    if (file.Open(folder + "/" + name + ".qsrec")) {
      std::vector<uint8_t> packet;
      for (;;) {
        QSRecording::VRecordEntry entry;
        LumoraQSStream::VPacketDelivery delivery;
        const QSRecording::ENext next = file.Next(entry, packet, delivery);
        if (next != QSRecording::ENext::Record) {
          outcome = next == QSRecording::ENext::End ? "read" : next == QSRecording::ENext::Truncated ? "cut" : "refused";
          break;
        }
        ++records;
        if (entry.Number == 0 || entry.FramePayload == 0) continue;
        frames.push_back(entry.FrameNumber);
        // The library's packet reader, which qs-export's cells come from,
        // reads the same frame number.
        ASSERT_TRUE(delivery.Dynamic);
        EXPECT_EQ(delivery.Dynamic->FrameNumber, entry.FrameNumber);
      }
    }
    EXPECT_EQ(outcome, expected.at("outcome").get<std::string>());
    EXPECT_EQ(records, expected.at("records").get<uint64_t>());
    EXPECT_EQ(frames, expected.at("frames").get<std::vector<int32_t>>());
    const std::string message = expected.at("message");
    EXPECT_NE(file.Error().find(message), std::string::npos) << file.Error();
    std::remove((folder + "/" + name + ".qsrec").c_str());
  }
  rmdir(folder.c_str());
}

}  // namespace
