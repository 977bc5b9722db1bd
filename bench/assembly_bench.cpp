// Cost of frame assembly on a heavy frame, beside the cost of a plain copy
// of the record it produces. Assembly copies the static lists and (because
// delivered containers are shared and immutable) the dynamic lists too, so
// it should cost about one record copy plus the queue handling.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "client/frame_client.h"

namespace {

using namespace LumoraQSStream;

constexpr int Subjects = 50;
constexpr int SegmentsPerSubject = 20;
constexpr int Markers = 1000;
constexpr int ForcePlates = 8;
constexpr int SamplesPerComponent = 10;
constexpr int AnalogChannels = 64;

std::shared_ptr<VStaticObjects> HeavyScene() {
  auto scene = std::make_shared<VStaticObjects>();
  scene->StreamValue = 1;
  const int markersPerSubject = Markers / Subjects;
  for (int s = 0; s < Subjects; ++s) {
    VSubjectInfo subject;
    subject.SubjectID = s + 1;
    subject.Name = "Subject" + std::to_string(s + 1);
    for (int g = 0; g < SegmentsPerSubject; ++g) {
      subject.Segments.push_back({0, g + 1, {}, "Segment" + std::to_string(g + 1)});
    }
    for (int m = 0; m < markersPerSubject; ++m) {
      subject.Markers.push_back({m + 1, "Marker" + std::to_string(m + 1)});
    }
    scene->Subjects.push_back(std::move(subject));
  }
  for (int p = 0; p < ForcePlates; ++p) {
    scene->Devices.push_back({p + 1, 0, "ForcePlate" + std::to_string(p + 1)});
    scene->DeviceOutputs.push_back({p + 1, 1, "Force", {"Fx", "Fy", "Fz"}});
    scene->DeviceOutputs.push_back({p + 1, 2, "Moment", {"Mx", "My", "Mz"}});
    scene->DeviceOutputs.push_back({p + 1, 3, "CoP", {"Cx", "Cy", "Cz"}});
  }
  for (int c = 0; c < AnalogChannels; ++c) {
    scene->DeviceOutputs.push_back({100, c + 1, "Analog" + std::to_string(c + 1), {"V"}});
  }
  return scene;
}

std::shared_ptr<VDynamicObjects> HeavyFrame() {
  auto frame = std::make_shared<VDynamicObjects>();
  frame->FrameNumber = 1;
  const int markersPerSubject = Markers / Subjects;
  for (int s = 0; s < Subjects; ++s) {
    for (int m = 0; m < markersPerSubject; ++m) {
      VMarkerPosition position{};
      position.SubjectID = s + 1;
      position.MarkerID = m + 1;
      position.Position = {1.0 * s, 1.0 * m, 2.0};
      frame->MarkerPositions.push_back(position);
    }
    VSegmentPoses poses;
    poses.SubjectID = s + 1;
    for (int g = 0; g < SegmentsPerSubject; ++g) {
      VSegmentPose pose{};
      pose.SegmentID = g + 1;
      pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
      poses.Poses.push_back(pose);
    }
    frame->GlobalSegmentPoses.push_back(std::move(poses));
  }
  auto vectorData = [](int plate, int output) {
    VDeviceOutputData data;
    data.DeviceID = plate;
    data.OutputID = output;
    data.Samples.assign(3 * SamplesPerComponent, 0.25f);
    return data;
  };
  for (int p = 0; p < ForcePlates; ++p) {
    frame->Forces.push_back(vectorData(p + 1, 1));
    frame->Moments.push_back(vectorData(p + 1, 2));
    frame->CentresOfPressure.push_back(vectorData(p + 1, 3));
  }
  for (int c = 0; c < AnalogChannels; ++c) {
    VDeviceOutputData data;
    data.DeviceID = 100;
    data.OutputID = c + 1;
    data.Samples.assign(SamplesPerComponent, 0.5f);
    frame->Voltages.push_back(std::move(data));
  }
  return frame;
}

// One heavy frame queued and assembled per iteration, into a fresh array
// (the facade's way) or into the array of the previous iteration.
void BM_GetFramesHeavy(benchmark::State& state) {
  const bool reuseArray = state.range(0) != 0;
  auto client = std::static_pointer_cast<VQSClient>(MakeSharedFrameClient(CreateFrameClient()));
  auto scene = HeavyScene();
  auto frame = HeavyFrame();
  client->OnStaticObjects(scene);
  std::vector<VFrameRecord> kept;
  for (auto _ : state) {
    client->OnDynamicObjects(frame);
    if (reuseArray) {
      benchmark::DoNotOptimize(client->GetFrames(kept));
    } else {
      std::vector<VFrameRecord> records;
      benchmark::DoNotOptimize(client->GetFrames(records));
      benchmark::DoNotOptimize(records.data());
    }
  }
  state.SetLabel(reuseArray ? "reused array" : "fresh array");
}
BENCHMARK(BM_GetFramesHeavy)->Arg(0)->Arg(1);

// Baseline: copying the assembled record into a fresh record.
void BM_CopyHeavyRecord(benchmark::State& state) {
  auto client = std::static_pointer_cast<VQSClient>(MakeSharedFrameClient(CreateFrameClient()));
  client->OnStaticObjects(HeavyScene());
  client->OnDynamicObjects(HeavyFrame());
  std::vector<VFrameRecord> records;
  if (!client->GetFrames(records)) {
    state.SkipWithError("no record assembled");
    return;
  }
  const VFrameRecord& source = records[0];
  for (auto _ : state) {
    VFrameRecord copy = source;
    benchmark::DoNotOptimize(copy.MarkerPositions.data());
  }
}
BENCHMARK(BM_CopyHeavyRecord);

// Baseline: copy-assigning the record over one of the same shape, reusing
// its storage (what assembly into a reused array amounts to).
void BM_AssignHeavyRecord(benchmark::State& state) {
  auto client = std::static_pointer_cast<VQSClient>(MakeSharedFrameClient(CreateFrameClient()));
  client->OnStaticObjects(HeavyScene());
  client->OnDynamicObjects(HeavyFrame());
  std::vector<VFrameRecord> records;
  if (!client->GetFrames(records)) {
    state.SkipWithError("no record assembled");
    return;
  }
  const VFrameRecord& source = records[0];
  VFrameRecord target = source;
  for (auto _ : state) {
    target = source;
    benchmark::DoNotOptimize(target.MarkerPositions.data());
  }
}
BENCHMARK(BM_AssignHeavyRecord);

}  // namespace

BENCHMARK_MAIN();
