#include "client/frame_record.h"

#include "client/qs_client.h"
#include "streamio/object_types.h"

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

namespace {

// What a record without a scene answers for each list.
const LumoraQSStream::VStaticObjects& NoScene() {
  static const LumoraQSStream::VStaticObjects empty;
  return empty;
}

const LumoraQSStream::VStaticObjects& SceneOf(const VFrameRecord& record) {
  return record.Scene ? *record.Scene : NoScene();
}

}  // namespace

const std::vector<LumoraQSStream::VNamedParameterInfo>& VFrameRecord::NamedParameterInfos() const {
  return SceneOf(*this).NamedParameterInfos;
}
const std::vector<LumoraQSStream::VNamedVectorInfo>& VFrameRecord::NamedVectorInfos() const {
  return SceneOf(*this).NamedVectorInfos;
}
const std::vector<LumoraQSStream::VDeviceInfo>& VFrameRecord::DeviceInfos() const {
  return SceneOf(*this).Devices;
}
const std::vector<LumoraQSStream::VDeviceOutputInfo>& VFrameRecord::DeviceOutputInfos() const {
  return SceneOf(*this).DeviceOutputs;
}
const std::vector<LumoraQSStream::VSubjectInfo>& VFrameRecord::SubjectInfos() const {
  return SceneOf(*this).Subjects;
}

void FillFrameRecord(const VSceneSnapshot& scene, const LumoraQSStream::VDynamicObjects* data,
                     VFrameRecord& record) {
  // The Record column: every dynamic type copied into the record, from the
  // container that holds it. The static types are not copied: the record
  // shares the scene's snapshot, which stays immutable, and reads its lists
  // through it (the accessors above); only the stream value is copied.
  // Video frames (Handles) are added by the frame client, which counts their
  // references.
#define QS_FILL_FROM_Dynamic_Copy(Member, Field) record.Field = data->Member;
#define QS_FILL_FROM_Dynamic_No(...)
#define QS_FILL_FROM_Dynamic_Handles(...)
#define QS_FILL_FROM_None_No(...)
#define QS_FILL_SKIP(...)
#define QS_FILL_DYNAMIC(Name, Number, Route, Holder, Member, Rule, Decoder, Carried, Record, Field, ...) \
  QS_FILL_DYNAMIC_##Holder(Member, Record, Field)
#define QS_FILL_DYNAMIC_Dynamic(Member, Record, Field) QS_FILL_FROM_Dynamic_##Record(Member, Field)
#define QS_FILL_DYNAMIC_Static QS_FILL_SKIP
#define QS_FILL_DYNAMIC_None QS_FILL_SKIP
  if (scene) {
    record.Scene = scene;
    record.StreamValue = scene->StreamValue;
  }
  if (data) {
    // Copied, not exchanged: a delivered container is shared with the
    // stream client, which reads it as delivered for the next packet's
    // carry-over.
    QS_OBJECT_TYPES(QS_FILL_DYNAMIC)
  }
#undef QS_FILL_DYNAMIC_None
#undef QS_FILL_DYNAMIC_Static
#undef QS_FILL_DYNAMIC_Dynamic
#undef QS_FILL_DYNAMIC
#undef QS_FILL_SKIP
#undef QS_FILL_FROM_None_No
#undef QS_FILL_FROM_Dynamic_Handles
#undef QS_FILL_FROM_Dynamic_No
#undef QS_FILL_FROM_Dynamic_Copy
}
