// VFrameRecord: the flat, self-contained picture of one received frame.
// VVideoFrameHandle: one counted reference to a video frame kept alive by
// its frame client's registry.
#pragma once

#include <cstdint>
#include <memory>
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

// The scene a record was built from: the static objects of the scene
// description current when its frame arrived. One snapshot per scene
// description, shared by every record built from it and never modified once
// shared (a new description is a new snapshot), so copying or moving a record
// costs the same whatever the scene's size, and a record stays as it was after
// the frame client has moved on. Its reference count is what makes sharing it
// across threads safe.
using VSceneSnapshot = std::shared_ptr<const LumoraQSStream::VStaticObjects>;

// Fields in record order. Static fields come from the scene description
// that was current when the frame arrived (the shared Scene; StreamValue is
// copied), dynamic ones from the frame itself. A record owns all of its
// dynamic contents; it shares its scene and refers to video frames through
// handles.
struct VFrameRecord {
  int64_t StreamValue = 0;
  int32_t FrameNumber = -1;  // -1: no frame
  VSceneSnapshot Scene;      // null: no scene description yet
  std::vector<LumoraQSStream::VShortRecordData> ShortRecordData;
  std::vector<LumoraQSStream::VChunkData> ChunkData;
  std::vector<LumoraQSStream::VBlockData> BlockData;
  std::vector<VVideoFrameHandle> VideoFrames;
  LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerRecord> MarkerRecords;
  LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition> MarkerPositions;
  std::vector<LumoraQSStream::VDeviceOutputData> VoltageData;
  std::vector<LumoraQSStream::VDeviceOutputData> ForceData;
  std::vector<LumoraQSStream::VDeviceOutputData> MomentData;
  std::vector<LumoraQSStream::VDeviceOutputData> CentreOfPressureData;
  std::vector<LumoraQSStream::VSegmentPoses> GlobalSegmentPoses;
  std::vector<LumoraQSStream::VSegmentPoses> OtherSegmentPoses;  // always empty

  // The scene's lists; empty while the record has no scene.
  const std::vector<LumoraQSStream::VNamedParameterInfo>& NamedParameterInfos() const;
  const std::vector<LumoraQSStream::VNamedVectorInfo>& NamedVectorInfos() const;
  const std::vector<LumoraQSStream::VDeviceInfo>& DeviceInfos() const;
  const std::vector<LumoraQSStream::VDeviceOutputInfo>& DeviceOutputInfos() const;
  const std::vector<LumoraQSStream::VSubjectInfo>& SubjectInfos() const;
};

// Shares the scene description and copies the frame's data into `record`
// (either may be null: that part is left as it is). Video frames are not
// touched: they are registered with a frame client (VQSClient's frame
// assembly).
void FillFrameRecord(const VSceneSnapshot& scene, const LumoraQSStream::VDynamicObjects* data,
                     VFrameRecord& record);
