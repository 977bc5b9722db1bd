// VFrameWalk: a recording's frames, one after the other, through the
// library's packet reader and frame queries, so that every value read from
// them is the one a host would have read from that frame.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api/frame_queries.h"
#include "client/frame_record.h"
#include "tools/recording/recording.h"

namespace QSExport {

class VFrameWalk {
 public:
  // The queries, set to the current frame during Run's calls (and their
  // axis settings, which the caller chooses before Run).
  VFrameQueries& Queries() { return Frame; }

  // Calls onFrame(receiveNs, sceneChanged) with the queries' current frame
  // set to each frame of the recording in turn; sceneChanged is true for
  // the first frame after a scene description. False with Error() when the
  // recording is refused; a recording cut short ends early, with CutShort().
  template <class OnFrame>
  [[nodiscard]] bool Run(const std::string& path, OnFrame onFrame) {
    QSRecording::VCheckedFile file;
    if (!file.Open(path)) return Fail(file.Error());
    std::vector<uint8_t> packet;
    std::shared_ptr<const LumoraQSStream::VStaticObjects> scene;
    bool newScene = false;
    VFrameRecord record;
    for (;;) {
      QSRecording::VRecordEntry entry;
      LumoraQSStream::VPacketDelivery delivery;
      const QSRecording::ENext next = file.Next(entry, packet, delivery);
      if (next == QSRecording::ENext::End) return true;
      if (next == QSRecording::ENext::Truncated) {
        Warning = file.Error();
        return true;
      }
      if (next == QSRecording::ENext::Invalid) return Fail(file.Error());
      if (delivery.Static) {
        scene = delivery.Static;
        newScene = true;
      }
      if (!delivery.Dynamic) continue;
      FillFrameRecord(scene, delivery.Dynamic, record);
      Frame.Exchange(record);
      onFrame(entry.ReceiveNs, newScene);
      newScene = false;
    }
  }

  const std::string& Error() const { return Message; }
  const std::string& CutShort() const { return Warning; }
  // Says on `messages` that the recording `input` ends early, when it does,
  // after `frames` frames exported.
  void ReportCutShort(std::FILE* messages, const std::string& input, uint64_t frames) const {
    if (Warning.empty()) return;
    std::fprintf(messages, "qs-export: %s: %s; exported the %llu frames before it\n", input.c_str(), Warning.c_str(),
                 static_cast<unsigned long long>(frames));
  }

 private:
  bool Fail(const std::string& message) {
    Message = message;
    return false;
  }

  VFrameQueries Frame;
  std::string Message;
  std::string Warning;
};

}  // namespace QSExport
