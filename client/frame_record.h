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

// The frame a record was built from: the dynamic objects of its packet, as
// the stream client delivered them. A delivered container is never modified
// again (the stream client's next packet only reads it for carry-over, and
// it goes back to the receiving thread for refilling only once its last
// holder lets go of it), so every record built from a frame shares it:
// handing a frame to the host costs the same whatever the frame's size, and
// the host reads only the data it asks for.
using VFrameData = std::shared_ptr<const LumoraQSStream::VDynamicObjects>;

// Static fields come from the scene description that was current when the
// frame arrived (the shared Scene; StreamValue is copied), dynamic ones from
// the frame itself (the shared Data; FrameNumber is copied). Every list is
// read through an accessor, which answers an empty list while the record has
// no scene or no frame data. A record refers to video frames through handles.
struct VFrameRecord {
  int64_t StreamValue = 0;
  int32_t FrameNumber = -1;  // -1: no frame
  VSceneSnapshot Scene;      // null: no scene description yet
  VFrameData Data;           // null: no frame data
  std::vector<VVideoFrameHandle> VideoFrames;

  // Lets go of the scene, the frame's data and the video frames (each
  // handle releases its reference), keeping the video list's room: for a
  // record kept to be filled again.
  void LetGo();

  // The scene's lists.
  const std::vector<LumoraQSStream::VNamedParameterInfo>& NamedParameterInfos() const;
  const std::vector<LumoraQSStream::VNamedVectorInfo>& NamedVectorInfos() const;
  const std::vector<LumoraQSStream::VDeviceInfo>& DeviceInfos() const;
  const std::vector<LumoraQSStream::VDeviceOutputInfo>& DeviceOutputInfos() const;
  const std::vector<LumoraQSStream::VSubjectInfo>& SubjectInfos() const;

  // The frame's lists.
  const std::vector<LumoraQSStream::VShortRecordData>& ShortRecordData() const;
  const std::vector<LumoraQSStream::VChunkData>& ChunkData() const;
  const std::vector<LumoraQSStream::VBlockData>& BlockData() const;
  const LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerRecord>& MarkerRecords() const;
  const LumoraQSStream::VRecordArray<LumoraQSStream::VMarkerPosition>& MarkerPositions() const;
  const std::vector<LumoraQSStream::VDeviceOutputData>& VoltageData() const;
  const std::vector<LumoraQSStream::VDeviceOutputData>& ForceData() const;
  const std::vector<LumoraQSStream::VDeviceOutputData>& MomentData() const;
  const std::vector<LumoraQSStream::VDeviceOutputData>& CentreOfPressureData() const;
  const std::vector<LumoraQSStream::VSegmentPoses>& GlobalSegmentPoses() const;
  const std::vector<LumoraQSStream::VSegmentPoses>& OtherSegmentPoses() const;  // always empty
};

// Shares the scene description and the frame's data with `record` (either
// may be null: that part is left as it is) and copies the stream value and
// the frame number. Video frames are not touched: they are registered with a
// frame client (VQSClient's frame assembly).
void FillFrameRecord(const VSceneSnapshot& scene, const VFrameData& data, VFrameRecord& record);
