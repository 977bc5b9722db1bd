#include "client/frame_record.h"

#include "client/qs_client.h"

VVideoFrameHandle VVideoFrameHandle::Adopt(IQSClient* owner,
                                           const LumoraQSStream::VVideoFrame* frame) {
  VVideoFrameHandle handle;
  handle.OwnerClient = owner;
  handle.VideoFrame = frame;
  return handle;
}

VVideoFrameHandle::VVideoFrameHandle(const VVideoFrameHandle& other)
    : OwnerClient(other.OwnerClient), VideoFrame(other.VideoFrame) {
  if (OwnerClient && VideoFrame) OwnerClient->AddVideoFrameReference(VideoFrame);
}

VVideoFrameHandle& VVideoFrameHandle::operator=(const VVideoFrameHandle& other) {
  if (this == &other) return *this;
  // The source's reference is taken before the target's is given up, so a
  // release can never end the last reference of a frame client that the
  // source still needs; the counts come out as release-then-add would leave
  // them.
  if (other.OwnerClient && other.VideoFrame) {
    other.OwnerClient->AddVideoFrameReference(other.VideoFrame);
  }
  Release();
  OwnerClient = other.OwnerClient;
  VideoFrame = other.VideoFrame;
  return *this;
}

VVideoFrameHandle::VVideoFrameHandle(VVideoFrameHandle&& other) noexcept
    : OwnerClient(other.OwnerClient), VideoFrame(other.VideoFrame) {
  other.OwnerClient = nullptr;
  other.VideoFrame = nullptr;
}

VVideoFrameHandle& VVideoFrameHandle::operator=(VVideoFrameHandle&& other) noexcept {
  if (this == &other) return *this;
  Release();
  OwnerClient = other.OwnerClient;
  VideoFrame = other.VideoFrame;
  other.OwnerClient = nullptr;
  other.VideoFrame = nullptr;
  return *this;
}

VVideoFrameHandle::~VVideoFrameHandle() { Release(); }

void VVideoFrameHandle::Release() {
  IQSClient* owner = OwnerClient;
  const LumoraQSStream::VVideoFrame* frame = VideoFrame;
  // Cleared first: the release may destroy the owner, after which this
  // handle must hold nothing that refers to it.
  OwnerClient = nullptr;
  VideoFrame = nullptr;
  if (owner && frame) owner->ReleaseVideoFrameReference(frame);
}

void FillFrameRecord(const LumoraQSStream::VStaticObjects* scene, const LumoraQSStream::VDynamicObjects* data,
                     VFrameRecord& record) {
  if (scene) {
    record.StreamValue = scene->StreamValue;
    record.NamedParameterInfos = scene->NamedParameterInfos;
    record.NamedVectorInfos = scene->NamedVectorInfos;
    record.SubjectInfos = scene->Subjects;
    record.DeviceInfos = scene->Devices;
    record.DeviceOutputInfos = scene->DeviceOutputs;
  }
  if (data) {
    // Copied, not exchanged: a delivered container is shared with the
    // stream client, which reads it as delivered for the next packet's
    // carry-over.
    record.FrameNumber = data->FrameNumber;
    record.ShortRecordData = data->ShortRecordDatas;
    record.ChunkData = data->ChunkDatas;
    record.BlockData = data->BlockDatas;
    record.MarkerRecords = data->MarkerRecords;
    record.MarkerPositions = data->MarkerPositions;
    record.VoltageData = data->Voltages;
    record.ForceData = data->Forces;
    record.MomentData = data->Moments;
    record.CentreOfPressureData = data->CentresOfPressure;
    record.GlobalSegmentPoses = data->GlobalSegmentPoses;
    record.OtherSegmentPoses = data->OtherSegmentPoses;
  }
}
