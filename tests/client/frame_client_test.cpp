// The frame client driven directly through its event operations with
// hand-made containers: frame queue, scene pairing, frame assembly, video
// frame references, deferred destruction and waiting for frames.
#include "client/frame_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/frame_client_probe.h"
#include "testing/wait.h"

namespace {

using namespace std::chrono_literals;
using LumoraQSStream::VDeviceOutputData;
using LumoraQSStream::VDynamicObjects;
using LumoraQSStream::VMarkerPosition;
using LumoraQSStream::VSegmentPose;
using LumoraQSStream::VSegmentPoses;
using LumoraQSStream::VStaticObjects;
using LumoraQSStream::VSubjectInfo;
using LumoraQSStream::VVideoFrame;
using Clock = std::chrono::steady_clock;
using QSTesting::Probe;

// A frame client whose destruction the test can observe.
class ObservedClient : public VQSClient {
 public:
  explicit ObservedClient(std::atomic<bool>* destroyed) : Destroyed(destroyed) {}
  ~ObservedClient() override { *Destroyed = true; }

 private:
  std::atomic<bool>* Destroyed;
};

std::shared_ptr<VQSClient> NewClient() {
  return std::static_pointer_cast<VQSClient>(MakeSharedFrameClient(CreateFrameClient()));
}

VMarkerPosition Marker(int32_t subject, int32_t marker, double x) {
  VMarkerPosition position{};
  position.SubjectID = subject;
  position.MarkerID = marker;
  position.Position = {x, x + 1, x + 2};
  return position;
}

std::shared_ptr<VDynamicObjects> Frame(int32_t number) {
  auto objects = std::make_shared<VDynamicObjects>();
  objects->FrameNumber = number;
  objects->MarkerPositions.push_back(Marker(1, 1, number * 10.0));
  return objects;
}

// A frame with every dynamic list filled, values derived from `number`.
std::shared_ptr<VDynamicObjects> FullFrame(int32_t number) {
  auto objects = Frame(number);
  objects->MarkerPositions.push_back(Marker(1, 2, number * 10.0 + 5));
  LumoraQSStream::VMarkerRecord markerRecord{};
  markerRecord.Bytes.fill(static_cast<uint8_t>(number));
  objects->MarkerRecords.push_back(markerRecord);
  LumoraQSStream::VBlockData block;
  block.Value0 = number;
  block.Blocks.push_back(LumoraQSStream::VBlockRecord{});
  objects->BlockDatas.push_back(block);
  VSegmentPoses poses;
  poses.SubjectID = 7;
  VSegmentPose pose{};
  pose.SegmentID = 3;
  pose.Translation = {1.0 * number, 2.0, 3.0};
  pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  poses.Poses.push_back(pose);
  objects->GlobalSegmentPoses.push_back(poses);
  LumoraQSStream::VChunkData chunk;
  chunk.Value1 = number;
  chunk.Groups.push_back({LumoraQSStream::VChunk{{1, 2, 3}, 4, 5}});
  objects->ChunkDatas.push_back(chunk);
  LumoraQSStream::VShortRecordData shortRecords;
  shortRecords.Value0 = number;
  shortRecords.Records.push_back(LumoraQSStream::VShortRecord{{1, 2, 3, 4, 5, 6}});
  objects->ShortRecordDatas.push_back(shortRecords);
  auto samples = [number](int32_t output, float base) {
    VDeviceOutputData data;
    data.DeviceID = 2;
    data.OutputID = output;
    data.Samples = {base + number, base + number + 0.5f, base + number + 1.0f};
    return data;
  };
  objects->Forces.push_back(samples(1, 10));
  objects->Moments.push_back(samples(2, 20));
  objects->CentresOfPressure.push_back(samples(3, 30));
  objects->Voltages.push_back(samples(4, 40));
  objects->Voltages.push_back(samples(5, 50));
  return objects;
}

std::shared_ptr<VStaticObjects> Scene(int64_t streamValue, const std::string& subject) {
  auto objects = std::make_shared<VStaticObjects>();
  objects->StreamValue = streamValue;
  VSubjectInfo info;
  info.SubjectID = 7;
  info.Name = subject;
  info.Segments.push_back({0, 3, {}, "Pelvis"});
  info.Markers.push_back({1, "LASI"});
  objects->Subjects.push_back(info);
  objects->Devices.push_back({2, 0, "Plate"});
  objects->DeviceOutputs.push_back({2, 1, "Force", {"Fx", "Fy", "Fz"}});
  LumoraQSStream::VNamedVectorInfo vector;
  vector.ID = 4;
  vector.Name = "Gravity";
  vector.Vector = {0, 0, -9.81};
  objects->NamedVectorInfos.push_back(vector);
  LumoraQSStream::VNamedParameterInfo parameter;
  parameter.ID = 5;
  parameter.Name = "Camera";
  parameter.Parameters[0] = 1.5;
  objects->NamedParameterInfos.push_back(parameter);
  objects->WordBlockInfos.push_back({});
  return objects;
}

std::shared_ptr<VVideoFrame> Video(int32_t value, std::size_t bytes) {
  auto frame = std::make_shared<VVideoFrame>();
  frame->Value0 = value;
  frame->Width = 4;
  frame->Height = 2;
  frame->Data.assign(bytes, static_cast<uint8_t>(value));
  return frame;
}

std::vector<int32_t> FrameNumbers(const std::vector<VFrameRecord>& records) {
  std::vector<int32_t> numbers;
  for (const VFrameRecord& record : records) numbers.push_back(record.FrameNumber);
  return numbers;
}

// ---------------------------------------------------------------- queue

TEST(FrameQueue, DefaultBoundKeepsOnlyTheNewestFrame) {
  auto client = NewClient();
  EXPECT_EQ(Probe(client).GetMaxQueuedFrames(), 1u);
  for (int32_t n = 1; n <= 3; ++n) client->OnDynamicObjects(Frame(n));
  EXPECT_EQ(Probe(client).QueuedFrameCount(), 1u);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({3}));
  EXPECT_EQ(Probe(client).QueuedFrameCount(), 0u);
  EXPECT_FALSE(client->GetFrames(records));
  EXPECT_TRUE(records.empty());
}

TEST(FrameQueue, RaisedBoundKeepsTheNewestFramesOldestFirst) {
  auto client = NewClient();
  client->SetMaxQueuedFrames(5);
  for (int32_t n = 1; n <= 8; ++n) client->OnDynamicObjects(Frame(n));
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({4, 5, 6, 7, 8}));
  EXPECT_DOUBLE_EQ(records[0].MarkerPositions().at(0).Position[0], 40.0);
  EXPECT_DOUBLE_EQ(records[4].MarkerPositions().at(0).Position[0], 80.0);
}

TEST(FrameQueue, LoweringTheBoundTrimsTheQueueAtOnce) {
  auto client = NewClient();
  client->SetMaxQueuedFrames(5);
  for (int32_t n = 1; n <= 5; ++n) client->OnDynamicObjects(Frame(n));
  client->SetMaxQueuedFrames(2);
  EXPECT_EQ(Probe(client).QueuedFrameCount(), 2u);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({4, 5}));
}

TEST(FrameQueue, BoundZeroDropsEveryFrame) {
  auto client = NewClient();
  client->OnDynamicObjects(Frame(1));
  client->SetMaxQueuedFrames(0);
  EXPECT_EQ(Probe(client).QueuedFrameCount(), 0u);
  std::vector<VFrameRecord> records;
  for (int32_t n = 2; n <= 4; ++n) {
    client->OnDynamicObjects(Frame(n));
    EXPECT_FALSE(client->GetFrames(records));
    EXPECT_FALSE(client->WaitForFrames(records, 0));
  }
  EXPECT_TRUE(records.empty());
}

TEST(FrameQueue, EmptyQueueEmptiesTheCallersArray) {
  auto client = NewClient();
  std::vector<VFrameRecord> records(3);
  records[0].FrameNumber = 12;
  EXPECT_FALSE(client->GetFrames(records));
  EXPECT_TRUE(records.empty());
}

TEST(FrameQueue, ReusedArrayIsResizedAndItsKeptRecordsOverwritten) {
  auto client = NewClient();
  client->SetMaxQueuedFrames(5);
  client->OnStaticObjects(Scene(11, "Old"));
  for (int32_t n = 1; n <= 3; ++n) client->OnDynamicObjects(FullFrame(n));
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  ASSERT_EQ(records.size(), 3u);

  // A frame with only a frame number and a new scene: the kept record loses
  // the old dynamic lists and gets the new scene.
  client->OnStaticObjects(Scene(22, "New"));
  auto bare = std::make_shared<VDynamicObjects>();
  bare->FrameNumber = 9;
  client->OnDynamicObjects(bare);
  ASSERT_TRUE(client->GetFrames(records));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].FrameNumber, 9);
  EXPECT_TRUE(records[0].MarkerPositions().empty());
  EXPECT_TRUE(records[0].GlobalSegmentPoses().empty());
  EXPECT_TRUE(records[0].ForceData().empty());
  EXPECT_TRUE(records[0].VoltageData().empty());
  EXPECT_EQ(records[0].StreamValue, 22);
  ASSERT_EQ(records[0].SubjectInfos().size(), 1u);
  EXPECT_EQ(records[0].SubjectInfos()[0].Name, "New");
}

// ---------------------------------------------------------------- sink

TEST(FrameSink, TakesTheNewestQueuedFrameThenEveryFrameUntilItIsEmptied) {
  auto client = NewClient();
  client->SetMaxQueuedFrames(5);
  client->OnStaticObjects(Scene(9, "Anna"));
  for (int32_t n = 1; n <= 3; ++n) client->OnDynamicObjects(Frame(n));
  // As the facade's prefetch record: keeps the newest, hands back the one
  // it held.
  VFrameRecord newest;
  std::vector<int32_t> numbers;
  ASSERT_TRUE(client->SetFrameSink([&](VFrameRecord& fresh) {
    numbers.push_back(fresh.FrameNumber);
    std::swap(newest, fresh);
  }));
  auto fourth = Frame(4);
  std::weak_ptr<const VDynamicObjects> watch = fourth;
  client->OnDynamicObjects(std::move(fourth));
  client->OnDynamicObjects(Frame(5));
  EXPECT_EQ(numbers, std::vector<int32_t>({3, 4, 5}));
  EXPECT_EQ(Probe(client).QueuedFrameCount(), 0u);
  EXPECT_TRUE(watch.expired());  // the record handed back was let go of
  EXPECT_EQ(newest.SubjectInfos().at(0).Name, "Anna");
  EXPECT_DOUBLE_EQ(newest.MarkerPositions().at(0).Position[0], 50.0);

  ASSERT_TRUE(client->SetFrameSink(nullptr));
  client->OnDynamicObjects(Frame(6));
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({6}));
  EXPECT_EQ(numbers.size(), 3u);
}

// -------------------------------------------------------- scene pairing

TEST(ScenePairing, FrameKeepsTheSceneCurrentWhenItArrived) {
  auto client = NewClient();
  client->SetMaxQueuedFrames(5);
  client->OnDynamicObjects(Frame(1));  // before any scene
  client->OnStaticObjects(Scene(100, "First"));
  client->OnDynamicObjects(Frame(2));
  client->OnStaticObjects(Scene(200, "Second"));  // after frame 2: not its scene
  client->OnDynamicObjects(Frame(3));
  client->OnStaticObjects(Scene(300, "Third"));  // after every frame

  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].FrameNumber, 1);
  EXPECT_EQ(records[0].StreamValue, VFrameRecord().StreamValue);
  EXPECT_TRUE(records[0].SubjectInfos().empty());
  EXPECT_TRUE(records[0].DeviceInfos().empty());
  EXPECT_TRUE(records[0].DeviceOutputInfos().empty());
  EXPECT_TRUE(records[0].NamedVectorInfos().empty());
  EXPECT_TRUE(records[0].NamedParameterInfos().empty());
  EXPECT_EQ(records[0].MarkerPositions().size(), 1u);

  EXPECT_EQ(records[1].StreamValue, 100);
  ASSERT_EQ(records[1].SubjectInfos().size(), 1u);
  EXPECT_EQ(records[1].SubjectInfos()[0].Name, "First");
  EXPECT_EQ(records[2].StreamValue, 200);
  ASSERT_EQ(records[2].SubjectInfos().size(), 1u);
  EXPECT_EQ(records[2].SubjectInfos()[0].Name, "Second");
}

TEST(ScenePairing, FramesOfOneSceneShareOneSnapshot) {
  auto client = NewClient();
  client->SetMaxQueuedFrames(2);
  auto scene = Scene(5, "Walker");
  client->OnStaticObjects(scene);
  client->OnDynamicObjects(Frame(1));
  client->OnDynamicObjects(Frame(2));
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  ASSERT_EQ(records.size(), 2u);
  // Both records, and a copy of one, hold the delivered description itself:
  // nothing of the scene is copied per frame.
  EXPECT_EQ(records[0].Scene.get(), scene.get());
  EXPECT_EQ(records[1].Scene.get(), scene.get());
  VFrameRecord copy = records[0];
  EXPECT_EQ(copy.Scene.get(), scene.get());
  ASSERT_EQ(copy.SubjectInfos().size(), 1u);
  EXPECT_EQ(copy.SubjectInfos()[0].Name, "Walker");
  EXPECT_EQ(copy.StreamValue, 5);
}

// ------------------------------------------------------------- assembly

TEST(FrameAssembly, EveryFieldComesFromItsContainer) {
  auto client = NewClient();
  auto scene = Scene(77, "Runner");
  auto frame = FullFrame(6);
  client->OnStaticObjects(scene);
  client->OnDynamicObjects(frame);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  ASSERT_EQ(records.size(), 1u);
  const VFrameRecord& record = records[0];

  EXPECT_EQ(record.StreamValue, 77);
  ASSERT_EQ(record.NamedParameterInfos().size(), 1u);
  EXPECT_EQ(record.NamedParameterInfos()[0].Name, "Camera");
  EXPECT_DOUBLE_EQ(record.NamedParameterInfos()[0].Parameters[0], 1.5);
  ASSERT_EQ(record.NamedVectorInfos().size(), 1u);
  EXPECT_DOUBLE_EQ(record.NamedVectorInfos()[0].Vector[2], -9.81);
  ASSERT_EQ(record.SubjectInfos().size(), 1u);
  EXPECT_EQ(record.SubjectInfos()[0].Segments.at(0).Name, "Pelvis");
  EXPECT_EQ(record.SubjectInfos()[0].Markers.at(0).Name, "LASI");
  ASSERT_EQ(record.DeviceInfos().size(), 1u);
  EXPECT_EQ(record.DeviceInfos()[0].Name, "Plate");
  ASSERT_EQ(record.DeviceOutputInfos().size(), 1u);
  EXPECT_EQ(record.DeviceOutputInfos()[0].ComponentNames.at(2), "Fz");

  EXPECT_EQ(record.FrameNumber, 6);
  ASSERT_EQ(record.MarkerPositions().size(), 2u);
  EXPECT_EQ(record.MarkerPositions()[1].MarkerID, 2);
  EXPECT_DOUBLE_EQ(record.MarkerPositions()[1].Position[2], 67.0);
  ASSERT_EQ(record.MarkerRecords().size(), 1u);
  EXPECT_EQ(record.MarkerRecords()[0].Bytes[103], 6);
  ASSERT_EQ(record.BlockData().size(), 1u);
  EXPECT_EQ(record.BlockData()[0].Value0, 6);
  ASSERT_EQ(record.ChunkData().size(), 1u);
  EXPECT_EQ(record.ChunkData()[0].Value1, 6);
  EXPECT_EQ(record.ChunkData()[0].Groups.at(0).at(0).Bytes, LumoraQSStream::VRecordArray<uint8_t>({1, 2, 3}));
  ASSERT_EQ(record.ShortRecordData().size(), 1u);
  EXPECT_EQ(record.ShortRecordData()[0].Records.at(0).Bytes[5], 6);
  ASSERT_EQ(record.GlobalSegmentPoses().size(), 1u);
  EXPECT_EQ(record.GlobalSegmentPoses()[0].SubjectID, 7);
  EXPECT_DOUBLE_EQ(record.GlobalSegmentPoses()[0].Poses.at(0).Translation[0], 6.0);
  ASSERT_EQ(record.ForceData().size(), 1u);
  EXPECT_FLOAT_EQ(record.ForceData()[0].Samples.at(0), 16.0f);
  ASSERT_EQ(record.MomentData().size(), 1u);
  EXPECT_EQ(record.MomentData()[0].OutputID, 2);
  ASSERT_EQ(record.CentreOfPressureData().size(), 1u);
  EXPECT_FLOAT_EQ(record.CentreOfPressureData()[0].Samples.at(2), 37.0f);
  ASSERT_EQ(record.VoltageData().size(), 2u);
  EXPECT_EQ(record.VoltageData()[1].OutputID, 5);
  EXPECT_TRUE(record.OtherSegmentPoses().empty());
  EXPECT_TRUE(record.VideoFrames.empty());
}

TEST(FrameAssembly, LeavesTheDeliveredContainersAsTheyWere) {
  // The stream client reads the last delivered containers for the next
  // packet's carry-over: assembly must only read them.
  auto client = NewClient();
  auto scene = Scene(3, "Dancer");
  auto frame = FullFrame(4);
  frame->VideoFrames.push_back(Video(1, 16));
  const VDynamicObjects before = *frame;
  client->OnStaticObjects(scene);
  client->OnDynamicObjects(frame);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));

  EXPECT_EQ(frame->FrameNumber, before.FrameNumber);
  ASSERT_EQ(frame->MarkerPositions.size(), before.MarkerPositions.size());
  EXPECT_DOUBLE_EQ(frame->MarkerPositions[1].Position[0], before.MarkerPositions[1].Position[0]);
  EXPECT_EQ(frame->MarkerRecords.size(), before.MarkerRecords.size());
  EXPECT_EQ(frame->BlockDatas.size(), before.BlockDatas.size());
  EXPECT_EQ(frame->ChunkDatas.size(), before.ChunkDatas.size());
  EXPECT_EQ(frame->ShortRecordDatas.size(), before.ShortRecordDatas.size());
  ASSERT_EQ(frame->GlobalSegmentPoses.size(), 1u);
  EXPECT_EQ(frame->GlobalSegmentPoses[0].Poses.size(), 1u);
  ASSERT_EQ(frame->Forces.size(), 1u);
  EXPECT_EQ(frame->Forces[0].Samples, before.Forces[0].Samples);
  EXPECT_EQ(frame->Moments.size(), before.Moments.size());
  EXPECT_EQ(frame->CentresOfPressure.size(), before.CentresOfPressure.size());
  EXPECT_EQ(frame->Voltages.size(), before.Voltages.size());
  ASSERT_EQ(frame->VideoFrames.size(), 1u);
  EXPECT_EQ(frame->VideoFrames[0], before.VideoFrames[0]);
  EXPECT_EQ(frame->VideoFrames[0]->Data.size(), 16u);

  EXPECT_EQ(scene->StreamValue, 3);
  ASSERT_EQ(scene->Subjects.size(), 1u);
  EXPECT_EQ(scene->Subjects[0].Name, "Dancer");
  EXPECT_EQ(scene->DeviceOutputs.at(0).ComponentNames.size(), 3u);
  EXPECT_EQ(scene->WordBlockInfos.size(), 1u);

  // The same container assembled again (the stream client may deliver it
  // to a later frame client state) gives the same record.
  client->OnDynamicObjects(frame);
  std::vector<VFrameRecord> again;
  ASSERT_TRUE(client->GetFrames(again));
  EXPECT_EQ(again[0].MarkerPositions().size(), 2u);
  EXPECT_EQ(again[0].ForceData().at(0).Samples, before.Forces[0].Samples);
}

TEST(FrameAssembly, RecordOutlivesQueueContainersAndFrameClient) {
  VFrameRecord kept;
  std::weak_ptr<VDynamicObjects> container;
  {
    auto client = NewClient();
    client->SetMaxQueuedFrames(3);
    client->OnStaticObjects(Scene(9, "Jumper"));
    auto frame = FullFrame(8);
    container = frame;
    client->OnDynamicObjects(frame);
    client->OnDynamicObjects(FullFrame(9));
    std::vector<VFrameRecord> records;
    ASSERT_TRUE(client->GetFrames(records));
    kept = records.at(0);
    // Frames that arrive later do not reach a record already taken.
    client->OnStaticObjects(Scene(10, "Other"));
    client->OnDynamicObjects(FullFrame(10));
  }
  // The record shares the frame's container, which nothing else holds now.
  EXPECT_EQ(container.use_count(), 1);
  EXPECT_EQ(kept.FrameNumber, 8);
  EXPECT_EQ(kept.StreamValue, 9);
  ASSERT_EQ(kept.SubjectInfos().size(), 1u);
  EXPECT_EQ(kept.SubjectInfos()[0].Name, "Jumper");
  ASSERT_EQ(kept.MarkerPositions().size(), 2u);
  EXPECT_DOUBLE_EQ(kept.MarkerPositions()[0].Position[0], 80.0);
  EXPECT_FLOAT_EQ(kept.ForceData().at(0).Samples.at(0), 18.0f);
  kept = VFrameRecord{};
  EXPECT_TRUE(container.expired());
}

// --------------------------------------------------------- video frames

TEST(VideoFrames, EachFrameOfARecordIsRegisteredOnce) {
  auto client = NewClient();
  auto first = Video(1, 8);
  auto second = Video(2, 8);
  auto frame = Frame(1);
  frame->VideoFrames = {first, second};
  client->OnDynamicObjects(frame);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  ASSERT_EQ(records[0].VideoFrames.size(), 2u);
  EXPECT_EQ(records[0].VideoFrames[0].Frame(), first.get());
  EXPECT_EQ(records[0].VideoFrames[1].Frame(), second.get());
  EXPECT_EQ(records[0].VideoFrames[0].Owner(), client.get());
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 2u);
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(first.get()), 1);
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(second.get()), 1);

  {
    VFrameRecord copy = records[0];
    EXPECT_EQ(Probe(client).VideoFrameReferenceCount(first.get()), 2);
    EXPECT_EQ(Probe(client).VideoFrameReferenceCount(second.get()), 2);
    VFrameRecord assigned;
    assigned = copy;
    EXPECT_EQ(Probe(client).VideoFrameReferenceCount(first.get()), 3);
  }
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(first.get()), 1);
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(second.get()), 1);

  // The registry keeps the frames alive on its own.
  std::weak_ptr<VVideoFrame> watch = first;
  frame.reset();
  first.reset();
  EXPECT_FALSE(watch.expired());
  records.clear();
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 0u);
  EXPECT_TRUE(watch.expired());
}

TEST(VideoFrames, AssigningARecordWithoutVideoReleasesEveryHandle) {
  auto client = NewClient();
  auto frame = Frame(1);
  frame->VideoFrames = {Video(1, 4), Video(2, 4)};
  client->OnDynamicObjects(frame);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 2u);
  records[0] = VFrameRecord();
  EXPECT_TRUE(records[0].VideoFrames.empty());
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 0u);
}

TEST(VideoFrames, ReusedArrayReleasesTheHandlesItsRecordsHeld) {
  auto client = NewClient();
  auto video = Video(1, 4);
  auto frame = Frame(1);
  frame->VideoFrames = {video};
  client->OnDynamicObjects(frame);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);
  // The same video frame again (carried over into the next frame).
  client->OnDynamicObjects(frame);
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);
  client->OnDynamicObjects(Frame(2));
  ASSERT_TRUE(client->GetFrames(records));
  EXPECT_TRUE(records[0].VideoFrames.empty());
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 0u);
}

TEST(VideoFrames, HandleCopyMoveAndSelfAssignmentKeepTheCountRight) {
  auto client = NewClient();
  auto video = Video(3, 4);
  client->RegisterVideoFrame(video);
  VVideoFrameHandle handle = VVideoFrameHandle::Adopt(client.get(), video.get());
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);

  VVideoFrameHandle& alias = handle;
  handle = alias;  // self-assignment
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);
  EXPECT_EQ(handle.Frame(), video.get());

  VVideoFrameHandle moved(std::move(handle));
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);
  EXPECT_EQ(handle.Frame(), nullptr);  // the moved-from handle holds nothing
  EXPECT_EQ(handle.Owner(), nullptr);
  EXPECT_EQ(moved.Frame(), video.get());

  VVideoFrameHandle target;
  target = std::move(moved);
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);

  std::vector<VVideoFrameHandle> many;
  for (int i = 0; i < 20; ++i) many.push_back(target);  // growth moves, copies count
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 21);
  many.clear();
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);

  VVideoFrameHandle empty;
  target = empty;  // releases the last reference
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 0);
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 0u);
}

TEST(VideoFrames, UnregisteredAddressesAreIgnored) {
  auto client = NewClient();
  VVideoFrame stray;
  auto video = Video(1, 4);
  client->RegisterVideoFrame(video);
  client->AddVideoFrameReference(&stray);
  client->ReleaseVideoFrameReference(&stray);
  client->AddVideoFrameReference(nullptr);
  client->ReleaseVideoFrameReference(nullptr);
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(&stray), 0);
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 1u);
  EXPECT_EQ(Probe(client).VideoFrameReferenceCount(video.get()), 1);
  client->ReleaseVideoFrameReference(video.get());
  EXPECT_EQ(Probe(client).RegisteredVideoFrameCount(), 0u);
}

// ------------------------------------------------- deferred destruction

TEST(DeferredDestruction, DestroyWithoutVideoReferencesDeletesAtOnce) {
  std::atomic<bool> destroyed{false};
  auto client = MakeSharedFrameClient(new ObservedClient(&destroyed));
  client->SetMaxQueuedFrames(3);
  client.reset();
  EXPECT_TRUE(destroyed.load());
}

TEST(DeferredDestruction, LastReleasedHandleCompletesDestroy) {
  std::atomic<bool> destroyed{false};
  auto* raw = new ObservedClient(&destroyed);
  auto client = MakeSharedFrameClient(raw);
  auto frame = Frame(1);
  auto video = Video(1, 64);
  std::weak_ptr<VVideoFrame> watch = video;
  frame->VideoFrames = {video};
  raw->OnDynamicObjects(frame);
  frame.reset();
  video.reset();

  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  VFrameRecord copy = records[0];
  records.clear();

  client.reset();  // Destroy: one reference still out
  EXPECT_FALSE(destroyed.load());
  EXPECT_TRUE(Probe(raw).IsDestroyPending());
  EXPECT_EQ(Probe(raw).VideoFrameReferenceCount(watch.lock().get()), 1);
  ASSERT_EQ(copy.VideoFrames.size(), 1u);
  EXPECT_EQ(copy.VideoFrames[0].Frame()->Data.size(), 64u);

  copy = VFrameRecord();  // the last handle goes
  EXPECT_TRUE(destroyed.load());
  EXPECT_TRUE(watch.expired());
}

TEST(DeferredDestruction, RecordReleasedOnAnotherThreadCompletesDestroy) {
  std::atomic<bool> destroyed{false};
  auto client = MakeSharedFrameClient(new ObservedClient(&destroyed));
  auto frame = Frame(1);
  frame->VideoFrames = {Video(1, 4), Video(2, 4)};
  static_cast<VQSClient*>(client.get())->OnDynamicObjects(frame);
  std::vector<VFrameRecord> records;
  ASSERT_TRUE(client->GetFrames(records));
  client.reset();
  EXPECT_FALSE(destroyed.load());
  std::thread([&records] { records.clear(); }).join();
  EXPECT_TRUE(destroyed.load());
}

// ------------------------------------------------------ waiting for frames

TEST(WaitForFrames, ZeroTimeoutDoesNotWait) {
  auto client = NewClient();
  std::vector<VFrameRecord> records(2);
  records[1].FrameNumber = 3;
  EXPECT_FALSE(client->WaitForFrames(records, 0));
  // A wait that times out does not assemble: the array is left alone.
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].FrameNumber, 3);
  client->OnDynamicObjects(Frame(5));
  ASSERT_TRUE(client->WaitForFrames(records, 0));
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({5}));
}

TEST(WaitForFrames, TimesOutAfterTheWholeTimeout) {
  auto client = NewClient();
  std::vector<VFrameRecord> records;
  const auto start = Clock::now();
  EXPECT_FALSE(client->WaitForFrames(records, 300));
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_TRUE(records.empty());
}

TEST(WaitForFrames, DisconnectDuringTheWaitDoesNotEndIt) {
  auto client = NewClient();
  client->OnConnected();
  ASSERT_TRUE(client->IsConnected());
  std::vector<VFrameRecord> records;
  Clock::time_point disconnected{};
  std::atomic<bool> waiting{false};
  std::thread other([&] {
    // The waiter holds the lock from before `waiting` until its wait gives
    // it up, so OnDisconnected (which takes the lock) runs during the wait.
    if (!QSTesting::WaitUntil([&] { return waiting.load(); })) return;
    client->OnDisconnected();
    disconnected = Clock::now();
  });
  const auto start = Clock::now();
  Clock::time_point end;
  {
    auto hold = Probe(client).Hold();
    waiting = true;
    EXPECT_FALSE(client->WaitForFrames(records, 600));
    end = Clock::now();
  }
  other.join();
  EXPECT_GE(end - start, 600ms);
  // OnDisconnected takes the client's lock: it finishing before the wait
  // ended means it ran while the waiter had given the lock up.
  EXPECT_LT(disconnected, end);
  EXPECT_FALSE(client->IsConnected());
}

TEST(WaitForFrames, FrameArrivingDuringTheWaitEndsIt) {
  auto client = NewClient();
  client->OnStaticObjects(Scene(1, "Late"));
  std::vector<VFrameRecord> records;
  std::atomic<bool> insideWait{false};
  bool deliveredDuringTheWait = false;
  std::thread other([&] {
    if (!QSTesting::WaitUntil([&] { return insideWait.load(); })) return;
    // The waiter holds the lock from before `insideWait` is set until its
    // wait gives the lock up, and clears it before letting go after the
    // wait: holding the lock with the flag set means the wait is running.
    auto hold = Probe(client).Hold();
    deliveredDuringTheWait = insideWait.load();
    client->OnDynamicObjects(Frame(42));
  });
  bool got = false;
  {
    auto hold = Probe(client).Hold();
    insideWait = true;
    got = client->WaitForFrames(records, 10000);
    insideWait = false;
  }
  other.join();
  EXPECT_TRUE(deliveredDuringTheWait) << "the frame was not delivered while the waiter waited";
  ASSERT_TRUE(got);
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({42}));
  EXPECT_EQ(records[0].SubjectInfos().at(0).Name, "Late");
}

TEST(WaitForFrames, WaiterHoldingTheLockTwiceLetsEventsIn) {
  auto client = NewClient();
  std::vector<VFrameRecord> records;
  bool got = false;
  {
    auto hold = Probe(client).Hold();  // depth 1 here, 2 inside WaitForFrames
    // The event thread can only queue its frame while the waiter has given
    // the lock up entirely.
    std::thread other([&] { client->OnDynamicObjects(Frame(77)); });
    got = client->WaitForFrames(records, 10000);
    other.join();
  }
  ASSERT_TRUE(got);
  EXPECT_EQ(FrameNumbers(records), std::vector<int32_t>({77}));
}

TEST(WaitForFrames, ManyWaitersAndProducersLoseNoLockLevel) {
  // Waiters at different depths and event threads, bounded in count: every
  // thread finishes and the lock is free at the end.
  auto client = NewClient();
  client->SetMaxQueuedFrames(1000);
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      std::vector<VFrameRecord> records;
      for (int i = 0; i < 50; ++i) {
        auto hold = Probe(client).Hold();
        if (w == 1) {
          auto again = Probe(client).Hold();
          if (client->WaitForFrames(records, 20)) taken += static_cast<int>(records.size());
        } else if (client->WaitForFrames(records, 20)) {
          taken += static_cast<int>(records.size());
        }
      }
    });
  }
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < 100; ++i) client->OnDynamicObjects(Frame(p * 1000 + i));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<VFrameRecord> rest;
  client->GetFrames(rest);
  EXPECT_EQ(taken.load() + static_cast<int>(rest.size()), 200);
}

// ------------------------------------------------------------ settings

TEST(Settings, RequestedTypesFollowEnableAndDisable) {
  auto client = NewClient();
  for (int32_t type = 1; type <= 5; ++type) client->SetObjectTypeEnabled(type, true);
  client->SetObjectTypeEnabled(3, true);
  client->SetObjectTypeEnabled(6, false);  // not present: set unchanged
  EXPECT_EQ(Probe(client).GetRequestedTypes(), std::set<int32_t>({1, 2, 3, 4, 5}));
  client->SetObjectTypeEnabled(2, false);
  client->SetObjectTypeEnabled(-7, true);  // unknown numbers are kept too
  EXPECT_EQ(Probe(client).GetRequestedTypes(), std::set<int32_t>({-7, 1, 3, 4, 5}));
}

TEST(Settings, ConnectedFlagFollowsTheEvents) {
  auto client = NewClient();
  EXPECT_FALSE(client->IsConnected());
  client->OnConnected();
  EXPECT_TRUE(client->IsConnected());
  client->OnDisconnected();
  EXPECT_FALSE(client->IsConnected());
}

}  // namespace
