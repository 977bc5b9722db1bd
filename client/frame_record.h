// VFrameRecord: the flat, self-contained picture of one received frame.
// VVideoFrameHandle: one counted reference to a video frame kept alive by
// its frame client's registry.
#pragma once

#include <cstdint>
#include <vector>

#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"

class IQSClient;

class VVideoFrameHandle {
 public:
  VVideoFrameHandle() = default;
  // Takes over a reference that registration already counted (frame
  // assembly); adds none.
  static VVideoFrameHandle Adopt(IQSClient* owner, const LumoraQSStream::VVideoFrame* frame);

  VVideoFrameHandle(const VVideoFrameHandle& other);             // adds a reference
  VVideoFrameHandle& operator=(const VVideoFrameHandle& other);  // releases, then adds
  VVideoFrameHandle(VVideoFrameHandle&& other) noexcept;         // transfers the reference
  VVideoFrameHandle& operator=(VVideoFrameHandle&& other) noexcept;
  ~VVideoFrameHandle();                                          // releases

  IQSClient* Owner() const { return OwnerClient; }
  const LumoraQSStream::VVideoFrame* Frame() const { return VideoFrame; }

 private:
  void Release();

  IQSClient* OwnerClient = nullptr;
  const LumoraQSStream::VVideoFrame* VideoFrame = nullptr;
};

// Fields in record order. Static fields come from the scene description
// that was current when the frame arrived, dynamic ones from the frame
// itself. A record owns all of its contents except video frames, which it
// refers to through handles.
struct VFrameRecord {
  int64_t StreamValue = 0;
  int32_t FrameNumber = -1;  // -1: no frame
  std::vector<LumoraQSStream::VNamedParameterInfo> NamedParameterInfos;
  std::vector<LumoraQSStream::VNamedVectorInfo> NamedVectorInfos;
  std::vector<LumoraQSStream::VShortRecordData> ShortRecordData;
  std::vector<LumoraQSStream::VChunkData> ChunkData;
  std::vector<LumoraQSStream::VBlockData> BlockData;
  std::vector<VVideoFrameHandle> VideoFrames;
  LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerRecord> MarkerRecords;
  LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition> MarkerPositions;
  std::vector<LumoraQSStream::VDeviceInfo> DeviceInfos;
  std::vector<LumoraQSStream::VDeviceOutputInfo> DeviceOutputInfos;
  std::vector<LumoraQSStream::VDeviceOutputData> VoltageData;
  std::vector<LumoraQSStream::VDeviceOutputData> ForceData;
  std::vector<LumoraQSStream::VDeviceOutputData> MomentData;
  std::vector<LumoraQSStream::VDeviceOutputData> CentreOfPressureData;
  std::vector<LumoraQSStream::VSubjectInfo> SubjectInfos;
  std::vector<LumoraQSStream::VSegmentPoses> GlobalSegmentPoses;
  std::vector<LumoraQSStream::VSegmentPoses> OtherSegmentPoses;  // always empty
};

// Copies the scene description and the frame's data into `record` (either
// may be null: that part is left as it is). Video frames are not touched:
// they are registered with a frame client (VQSClient's frame assembly).
void FillFrameRecord(const LumoraQSStream::VStaticObjects* scene, const LumoraQSStream::VDynamicObjects* data,
                     VFrameRecord& record);
