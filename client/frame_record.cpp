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

// What a record holds of a shared container, or an empty one (a record
// without a scene, or without frame data, answers empty lists).
template <class Contents>
const Contents& OrEmpty(const std::shared_ptr<const Contents>& held) {
  static const Contents empty;
  return held ? *held : empty;
}

// The type an accessor answers for a list of `List`: a scene's shared list is
// read as the vector it holds.
template <class List>
struct VRecordList {
  using Type = List;
};
template <class T>
struct VRecordList<LumoraQSStream::VSharedList<T>> {
  using Type = std::vector<T>;
};

}  // namespace

void VFrameRecord::LetGo() {
  VideoFrames.clear();
  Scene.reset();
  Data.reset();
}

// The Record column: each Shared list is read through the accessor named in
// the Field column, from the container that holds it (the scene or the
// frame's data). The two Copy values are fields of the record.
#define QS_RECORD_LIST_Shared(Holder, Held, Member, Field)                                          \
  const VRecordList<decltype(LumoraQSStream::Holder::Member)>::Type& VFrameRecord::Field() const { \
    return OrEmpty(Held).Member;                                                                   \
  }
#define QS_RECORD_LIST_Copy(...)
#define QS_RECORD_LIST_Handles(...)
#define QS_RECORD_LIST_No(...)
#define QS_RECORD_LIST_HOLDER_Static(Member, Record, Field) \
  QS_RECORD_LIST_##Record(VStaticObjects, Scene, Member, Field)
#define QS_RECORD_LIST_HOLDER_Dynamic(Member, Record, Field) \
  QS_RECORD_LIST_##Record(VDynamicObjects, Data, Member, Field)
#define QS_RECORD_LIST_HOLDER_None(...)
#define QS_RECORD_LIST(Name, Number, Route, Holder, Member, Rule, Decoder, Carried, Record, Field, ...) \
  QS_RECORD_LIST_HOLDER_##Holder(Member, Record, Field)
QS_OBJECT_TYPES(QS_RECORD_LIST)
#undef QS_RECORD_LIST
#undef QS_RECORD_LIST_HOLDER_None
#undef QS_RECORD_LIST_HOLDER_Dynamic
#undef QS_RECORD_LIST_HOLDER_Static
#undef QS_RECORD_LIST_No
#undef QS_RECORD_LIST_Handles
#undef QS_RECORD_LIST_Copy
#undef QS_RECORD_LIST_Shared

void FillFrameRecord(const VSceneSnapshot& scene, const VFrameData& data, VFrameRecord& record) {
  // Shared, not copied: the scene's snapshot and the frame's container are
  // never modified once delivered (see VFrameData).
  if (scene) {
    record.Scene = scene;
    record.StreamValue = scene->StreamValue;
  }
  if (data) {
    record.Data = data;
    record.FrameNumber = data->FrameNumber;
  }
}
