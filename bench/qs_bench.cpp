// Google Benchmark suite of the client's hot paths on the heavy reference
// scene, each timed beside the physical floor it is measured against:
//
//   decode/dynamic_packet   VPacketReader::DecodePacket of one dynamic packet
//                           whose payload the reader already holds (as the
//                           socket read leaves it); floor: memcpy of the bytes
//   decode/static_packet    the same for the scene description
//   decode/demo_packet      a demo-scene frame as qs-sim serves the exports;
//                           .../demo_packet_after_idle: the same, each
//                           after 5 ms asleep (only the decode timed);
//                           .../demo_packet_rehearsed: the same, the
//                           decode rehearsed 1 ms before each
//   receive/read_and_decode ReadPacket: the socket read's copy into the
//                           reader's buffer, then the decode
//   receive/frame           read and decode plus the frame client's
//                           OnDynamicObjects
//   receive/heavy_packet_socket  the heavy frame read from a loopback socket
//                           that holds all of it, and decoded
//   receive/demo_packet_after_idle  a demo-scene frame read from a loopback
//                           socket and decoded, each after 5 ms asleep
//   handover/direct         facade GetFrame without prefetching: GetFrames
//                           plus the move into the current record; floor:
//                           one whole-record copy
//   handover/prefetch       the prefetch path's steps in sequence: the frame
//                           client's delivery into the prefetch record,
//                           exchange into the current record; floor: one
//                           whole-record copy
//   assembly/...            GetFrames alone, fresh or reused array
//   query/<name>/{last,all} every query of the facade on the heavy frame,
//                           per call: the last subject, segment, marker,
//                           plate or channel (longest scan), or cycling
//                           through all of them
//   walk/<scene>            a host's whole turn on a frame of its own: the
//                           frame queued, GetFrame, then every plate with
//                           its vectors and channels, or every subject with
//                           its segments and markers; small scenes beside
//                           scenes of 100 and 1000 plates, 2000 and 20 000
//                           segments, each compared per item with the small
//
// Allocation counters (a replaced global operator new counts them):
// "allocs" and "alloc_bytes" per iteration, i.e. per received frame for
// decode/receive and per consumed frame for handover.
//
// After the usual output a table sets each result beside its floor (the
// median when --benchmark_repetitions is given) with the ratio and target,
// in CPU time, which other work on a shared machine disturbs less.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/write.hpp>

#include "api/prefetch_frame.h"
#include "api/simple_client.h"
#include "bench/alloc_counter.h"
#include "bench/export_types.h"
#include "bench/heavy_scene.h"
#include "client/frame_client.h"
#include "serve/wire_encoder.h"
#include "stream/packet_reader.h"
#include "stream/rehearsal_schedule.h"
#include "streamio/socket_reader_writer.h"
#include "testing/loopback_pair.h"
#include "testing/memory_reader_writer.h"
#include "tools/sim/scene.h"

namespace {

using namespace LumoraQSStream;
using QSTesting::VMemoryReader;
using QSBench::VBytes;
using QSBench::VHeavyScene;

const VHeavyScene& Scene() {
  static const VHeavyScene scene;
  return scene;
}

const VBytes& DynamicPacket() {
  static const VBytes packet = Scene().DynamicPacket(1);
  return packet;
}

// The heavy frame's containers exactly as the receive path produces them.
struct VDecoded {
  std::shared_ptr<const VStaticObjects> Static;
  std::shared_ptr<const VDynamicObjects> Dynamic;
};

const VDecoded& Decoded() {
  static const VDecoded decoded = [] {
    VMemoryReader reader;
    reader.Append(Scene().StaticPacket());
    reader.Append(DynamicPacket());
    VPacketReader packets;
    VDecoded result;
    VPacketDelivery delivery;
    if (packets.ReadPacket(reader, false, delivery)) result.Static = delivery.Static;
    if (packets.ReadPacket(reader, false, delivery)) result.Dynamic = delivery.Dynamic;
    return result;
  }();
  return decoded;
}

// Allocations per call of `operation`, measured over `calls` calls outside
// the timed loop.
void CountAllocations(benchmark::State& state, const std::function<void()>& operation, int calls = 64) {
  const QSBench::VAllocationCount before = QSBench::AllocationsSoFar();
  for (int i = 0; i < calls; ++i) operation();
  const QSBench::VAllocationCount after = QSBench::AllocationsSoFar();
  state.counters["allocs"] = static_cast<double>(after.Calls - before.Calls) / calls;
  state.counters["alloc_bytes"] = static_cast<double>(after.Bytes - before.Bytes) / calls;
}

// ---- Decoding ------------------------------------------------------------------

// Serves one packet again and again, as a socket would deliver a stream of
// equal packets: each Read copies the next bytes of it, wrapping at its end.
// The source stays one packet long, as warm in the cache as the memcpy
// floor's.
class VReplayReader : public LumoraQSStreamIO::VReader {
 public:
  explicit VReplayReader(const VBytes& packet) : Packet(packet) {}
  bool Read(void* destination, std::size_t count) override {
    if (count > Packet.size() - Offset) return false;
    std::memcpy(destination, Packet.data() + Offset, count);
    Offset += count;
    if (Offset == Packet.size()) Offset = 0;
    return true;
  }

 private:
  const VBytes& Packet;
  std::size_t Offset = 0;
};

// Decoding alone: the packet's payload is already in the reader's buffer,
// where the socket read put it, and each iteration decodes it again, the
// previous containers kept for carry-over, as on a connection (after
// `scene`, the scene's description, when given). The dynamic container of
// two iterations before, held by neither the delivery nor the carry-over
// any more, is the one refilled. With `idle`, each iteration first sleeps
// that long, as the receiving thread does in the socket read between paced
// frames, and only the decode is timed (manual time); with `rehearse` as
// well, the last decode is rehearsed RehearsalLead before the packet's, as
// the receiving thread does.
void DecodePacketLoop(benchmark::State& state, const VBytes* scene, const VBytes& packet,
                      std::chrono::microseconds idle = std::chrono::microseconds(0), bool rehearse = false) {
  VMemoryReader reader;
  VPacketReader packets;
  VPacketDelivery delivery;
  if (scene) {
    reader.Append(*scene);
    if (!packets.ReadPacket(reader, false, delivery)) {
      state.SkipWithError("scene did not decode");
      return;
    }
  }
  reader.Append(packet);
  if (!packets.ReadPacket(reader, false, delivery)) {
    state.SkipWithError("packet did not decode");
    return;
  }
  auto decode = [&] {
    reader.SetPosition(0);
    return packets.DecodePacket(reader, false, delivery);
  };
  for (auto _ : state) {
    bool decoded;
    if (idle.count() > 0) {
      if (rehearse) {
        std::this_thread::sleep_for(idle - LumoraQSStream::RehearsalLead);
        packets.Rehearse(reader);
        std::this_thread::sleep_for(LumoraQSStream::RehearsalLead);
      } else {
        std::this_thread::sleep_for(idle);
      }
      const auto start = std::chrono::steady_clock::now();
      decoded = static_cast<bool>(decode());
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    } else {
      decoded = static_cast<bool>(decode());
    }
    if (!decoded) {
      state.SkipWithError("packet did not decode");
      return;
    }
    benchmark::DoNotOptimize(delivery.Dynamic.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(packet.size()));
  // The loop has shown that the packet decodes.
  CountAllocations(state, [&] { static_cast<void>(decode()); }, 8);
  state.counters["packet_bytes"] = static_cast<double>(packet.size());
}

void BM_DecodeDynamicPacket(benchmark::State& state) {
  DecodePacketLoop(state, &Scene().StaticPacket(), DynamicPacket());
}
void BM_DecodeStaticPacket(benchmark::State& state) { DecodePacketLoop(state, nullptr, Scene().StaticPacket()); }

// The demo scene as qs-sim serves it to the exports at 200 frames per
// second: its description and one frame.
const LumoraQSSim::VDemoScene& DemoScene() {
  static const LumoraQSSim::VDemoScene demo(200, 10);
  return demo;
}
const VBytes& DemoFrame() {
  static const VBytes frame = DemoScene().DynamicPacket(1, QSBench::ExportTypes());
  return frame;
}

// A demo-scene frame decoded back to back, or after 5 ms asleep, as the
// receiving thread meets each paced frame: the caches and address
// translations the decode needs may have gone meanwhile; or after 5 ms
// asleep with the decode rehearsed shortly before the frame.
enum class EDemoDecode { BackToBack, AfterIdle, Rehearsed };
void BM_DecodeDemoPacket(benchmark::State& state, EDemoDecode mode) {
  static const VBytes scene = DemoScene().StaticPacket(QSBench::ExportTypes());
  DecodePacketLoop(state, &scene, DemoFrame(), std::chrono::microseconds(mode == EDemoDecode::BackToBack ? 0 : 5000),
                   mode == EDemoDecode::Rehearsed);
}

// The receiving thread's whole turn on a paced demo frame: after 5 ms
// asleep, ReadPacket from the connection's socket reader over loopback (the
// receive system call, then the decode), the packet written just before.
// Only ReadPacket is timed (manual time).
void BM_ReceiveDemoPacketAfterIdle(benchmark::State& state) {
  const VBytes& frame = DemoFrame();
  QSTesting::VLoopbackPair pair;
  if (!pair.Connect()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  boost::system::error_code error;
  LumoraQSStreamIO::VQSStreamReaderWriter reader(pair.Client);
  VPacketReader packets;
  VPacketDelivery delivery;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    boost::asio::write(pair.Server, boost::asio::buffer(frame), error);
    const auto start = std::chrono::steady_clock::now();
    const bool read = !error && static_cast<bool>(packets.ReadPacket(reader, false, delivery));
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!read) {
      state.SkipWithError("packet did not arrive or decode");
      return;
    }
  }
  state.counters["packet_bytes"] = static_cast<double>(frame.size());
}

// The heavy frame read from a loopback socket that already holds all of it,
// and decoded: the receiving thread's turn once an unpaced server's frame
// is in.
void BM_ReceiveHeavyPacketOverSocket(benchmark::State& state) {
  const VBytes& frame = DynamicPacket();
  QSTesting::VLoopbackPair pair;
  if (!pair.Connect()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  // Room for the whole frame at both ends, so that each write is done
  // before the read starts.
  const int room = static_cast<int>(2 * frame.size());
  boost::system::error_code error;
  pair.Server.set_option(boost::asio::socket_base::send_buffer_size(room), error);
  pair.Client->set_option(boost::asio::socket_base::receive_buffer_size(room), error);
  LumoraQSStreamIO::VQSStreamReaderWriter reader(pair.Client);
  VPacketReader packets;
  VPacketDelivery delivery;
  for (auto _ : state) {
    state.PauseTiming();
    boost::asio::write(pair.Server, boost::asio::buffer(frame), error);
    state.ResumeTiming();
    if (error || !packets.ReadPacket(reader, false, delivery)) {
      state.SkipWithError("packet did not arrive or decode");
      return;
    }
  }
  state.counters["packet_bytes"] = static_cast<double>(frame.size());
}

// A packet that carries the heavy scene over (subjects, devices and outputs
// listed in its summary) beside a static object of its own, so that its
// static container takes the scene's lists from the previous one.
void BM_DecodeCarriedScene(benchmark::State& state) {
  using namespace LumoraQSStream;
  static const VBytes packet = LumoraQSServe::EncodePacket(
      {LumoraQSServe::EncodeStreamInfo(7),
       LumoraQSServe::EncodePacketSummary({}, {SubjectInfo, DeviceInfo, DeviceOutputInfo})});
  DecodePacketLoop(state, &Scene().StaticPacket(), packet);
}

// Reading and decoding: ReadPacket from a reader that delivers the packet
// as the socket would, so each iteration copies the bytes into the reader's
// buffer (the socket read) and then into the records (the decoder).
void BM_ReadAndDecodeDynamicPacket(benchmark::State& state) {
  VMemoryReader scene;
  VPacketReader packets;
  VPacketDelivery delivery;
  scene.Append(Scene().StaticPacket());
  if (!packets.ReadPacket(scene, false, delivery)) {
    state.SkipWithError("scene did not decode");
    return;
  }
  VReplayReader reader(DynamicPacket());
  auto read = [&] { return packets.ReadPacket(reader, false, delivery); };
  for (auto _ : state) {
    if (!read()) {
      state.SkipWithError("packet did not decode");
      return;
    }
    benchmark::DoNotOptimize(delivery.Dynamic.get());
  }
  CountAllocations(state, [&] { static_cast<void>(read()); }, 8);
}

void MemcpyLoop(benchmark::State& state, const VBytes& packet) {
  VBytes target(packet.size());
  for (auto _ : state) {
    std::memcpy(target.data(), packet.data(), packet.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(packet.size()));
}

void BM_MemcpyDynamicPacket(benchmark::State& state) { MemcpyLoop(state, DynamicPacket()); }
void BM_MemcpyStaticPacket(benchmark::State& state) { MemcpyLoop(state, Scene().StaticPacket()); }

// ---- Receive path: decode and hand the containers to the frame client ----------

std::shared_ptr<VQSClient> NewFrameClient();

void BM_ReceiveFrame(benchmark::State& state) {
  std::shared_ptr<VQSClient> client = NewFrameClient();
  VMemoryReader scene;
  VPacketReader packets;
  VPacketDelivery delivery;
  scene.Append(Scene().StaticPacket());
  if (!packets.ReadPacket(scene, false, delivery)) {
    state.SkipWithError("scene did not decode");
    return;
  }
  client->OnStaticObjects(delivery.Static);
  VReplayReader reader(DynamicPacket());
  auto receive = [&] {
    if (!packets.ReadPacket(reader, false, delivery)) return;
    if (delivery.Static) client->OnStaticObjects(delivery.Static);
    if (delivery.Dynamic) client->OnDynamicObjects(delivery.Dynamic);
  };
  for (auto _ : state) receive();
  if (!delivery.Dynamic) state.SkipWithError("packet did not decode");
  CountAllocations(state, receive, 8);
}

// ---- Frame hand-over --------------------------------------------------------------

// A frame client whose Connect connects nothing: it reports the connection
// at once, so the facade can be driven by feeding the frame client's
// receiving operations directly.
class VUnwiredFrameClient : public VQSClient {
 public:
  void Connect(std::string, int32_t) override { OnConnected(); }
};

std::shared_ptr<VQSClient> NewFrameClient() {
  std::shared_ptr<IQSClient> client = MakeSharedFrameClient(new VUnwiredFrameClient());
  return std::static_pointer_cast<VQSClient>(client);
}

// A facade connected to an unwired frame client that holds the heavy scene
// and one heavy frame.
struct VFacadeFixture {
  VFacadeFixture() {
    Client = NewFrameClient();
    Facade = std::make_unique<VSimpleQSClient>();
    Facade->Connect(Client, "heavy");
    Client->OnStaticObjects(Decoded().Static);
    Client->OnDynamicObjects(Decoded().Dynamic);
    Facade->GetFrame();
  }
  ~VFacadeFixture() {
    Facade->Disconnect();
    Facade.reset();
  }
  std::shared_ptr<VQSClient> Client;
  std::unique_ptr<VSimpleQSClient> Facade;
};

void BM_HandOverDirect(benchmark::State& state) {
  VFacadeFixture fixture;
  auto handOver = [&] {
    fixture.Client->OnDynamicObjects(Decoded().Dynamic);
    fixture.Facade->GetFrame();
  };
  for (auto _ : state) handOver();
  int32_t frameNumber = 0;
  if (!fixture.Facade->GetFrameNumber(frameNumber) || frameNumber != 1) state.SkipWithError("no frame handed over");
  CountAllocations(state, handOver);
}

// The prefetch path's work, one step after the other as the two threads do
// it: the receiving thread's delivery puts the frame into the prefetched
// record (the frame client's sink, as the prefetch thread sets it up);
// GetFrame exchanges that record into the current record (VPreFetchFrame,
// without the threads in between).
void BM_HandOverPrefetch(benchmark::State& state) {
  std::shared_ptr<VQSClient> client = NewFrameClient();
  client->OnStaticObjects(Decoded().Static);
  VPreFetchFrame prefetched;
  VFrameRecord current;
  if (!client->SetFrameSink([&](VFrameRecord& fresh) { prefetched.Put(fresh); })) {
    state.SkipWithError("the frame client does not deliver");
    return;
  }
  auto handOver = [&] {
    client->OnDynamicObjects(Decoded().Dynamic);
    prefetched.TakeNewer(current);
  };
  for (auto _ : state) {
    handOver();
    benchmark::DoNotOptimize(current.MarkerPositions().data());
  }
  if (current.FrameNumber != 1) state.SkipWithError("no frame handed over");
  CountAllocations(state, handOver);
  static_cast<void>(client->SetFrameSink(nullptr));
}

VFrameRecord HeavyRecord() {
  std::shared_ptr<VQSClient> client = NewFrameClient();
  client->OnStaticObjects(Decoded().Static);
  client->OnDynamicObjects(Decoded().Dynamic);
  std::vector<VFrameRecord> frames;
  client->GetFrames(frames);
  return frames.back();
}

// A copy of the scene with entries of its own (copying the container alone
// would share its lists).
VStaticObjects DeepCopy(const VStaticObjects& scene) {
  VStaticObjects copy;
  copy.StreamValue = scene.StreamValue;
  copy.NamedVectorInfos = scene.NamedVectorInfos.Entries();
  copy.NamedParameterInfos = scene.NamedParameterInfos.Entries();
  copy.Subjects = scene.Subjects.Entries();
  copy.Devices = scene.Devices.Entries();
  copy.DeviceOutputs = scene.DeviceOutputs.Entries();
  copy.WordBlockInfos = scene.WordBlockInfos.Entries();
  return copy;
}

// The floors: the whole frame copied, the scene and the frame's data
// included, which is what a record that carried its own copy of both cost to
// make.
void CopyContents(VFrameRecord& record) {
  if (record.Scene) record.Scene = std::make_shared<const VStaticObjects>(DeepCopy(*record.Scene));
  if (record.Data) record.Data = std::make_shared<const VDynamicObjects>(*record.Data);
}

// What carrying the scene over cost while every packet copied it.
void BM_CopyScene(benchmark::State& state) {
  for (auto _ : state) {
    VStaticObjects copy = DeepCopy(*Decoded().Static);
    benchmark::DoNotOptimize(&copy);
  }
}

void BM_CopyRecord(benchmark::State& state) {
  const VFrameRecord source = HeavyRecord();
  for (auto _ : state) {
    VFrameRecord copy = source;
    CopyContents(copy);
    benchmark::DoNotOptimize(copy.MarkerPositions().data());
  }
}

void BM_AssignRecord(benchmark::State& state) {
  const VFrameRecord source = HeavyRecord();
  VFrameRecord target = source;
  for (auto _ : state) {
    target = source;
    CopyContents(target);
    benchmark::DoNotOptimize(target.MarkerPositions().data());
  }
}

// Memory: a bounded queue full of heavy frames, taken as records that are
// all kept at once. Each frame has a container of its own, as the stream
// client delivers one per packet. "bytes_per_frame" is what was allocated per
// queued frame (its container, the queue's entry and the record);
// "scene_bytes" what one copy of the scene description allocates, for
// comparison: a queue that held the scene once per frame would cost at least
// that per frame.
constexpr uint32_t QueuedHeavyFrames = 16;

void BM_QueuedFrames(benchmark::State& state) {
  std::shared_ptr<VQSClient> client = NewFrameClient();
  client->SetMaxQueuedFrames(QueuedHeavyFrames);
  client->OnStaticObjects(Decoded().Static);
  uint64_t bytes = 0;
  uint64_t rounds = 0;
  for (auto _ : state) {
    const QSBench::VAllocationCount before = QSBench::AllocationsSoFar();
    std::vector<VFrameRecord> records;
    for (uint32_t i = 0; i < QueuedHeavyFrames; ++i) {
      client->OnDynamicObjects(std::make_shared<const VDynamicObjects>(*Decoded().Dynamic));
    }
    client->GetFrames(records);
    const QSBench::VAllocationCount after = QSBench::AllocationsSoFar();
    bytes += after.Bytes - before.Bytes;
    ++rounds;
    if (records.size() != QueuedHeavyFrames) state.SkipWithError("queue not full");
    benchmark::DoNotOptimize(records.data());
  }
  const QSBench::VAllocationCount before = QSBench::AllocationsSoFar();
  { const VStaticObjects copy = DeepCopy(*Decoded().Static); benchmark::DoNotOptimize(&copy); }
  const QSBench::VAllocationCount after = QSBench::AllocationsSoFar();
  state.counters["bytes_per_frame"] = rounds ? static_cast<double>(bytes) / rounds / QueuedHeavyFrames : 0;
  state.counters["scene_bytes"] = static_cast<double>(after.Bytes - before.Bytes);
}

// GetFrames alone: one queued frame assembled into a fresh array, or into
// the array of the previous iteration.
void BM_GetFrames(benchmark::State& state, bool reuseArray) {
  std::shared_ptr<VQSClient> client = NewFrameClient();
  client->OnStaticObjects(Decoded().Static);
  std::vector<VFrameRecord> kept;
  auto assemble = [&] {
    client->OnDynamicObjects(Decoded().Dynamic);
    if (reuseArray) {
      client->GetFrames(kept);
    } else {
      std::vector<VFrameRecord> records;
      client->GetFrames(records);
      benchmark::DoNotOptimize(records.data());
    }
  };
  for (auto _ : state) assemble();
  CountAllocations(state, assemble);
}

// ---- Queries ------------------------------------------------------------------------

struct VNames {
  VNames() {
    for (int s = 0; s < QSBench::Subjects; ++s) {
      Subjects.push_back(QSBench::SubjectName(s));
      for (int g = 0; g < QSBench::SegmentsPerSubject; ++g) {
        SubjectSegments.emplace_back(QSBench::SubjectName(s), QSBench::SegmentName(g));
      }
      for (int m = 0; m < QSBench::MarkersPerSubject; ++m) {
        SubjectMarkers.emplace_back(QSBench::SubjectName(s), QSBench::MarkerName(m));
      }
    }
    for (int p = 0; p < QSBench::ForcePlates; ++p) Plates.push_back(QSBench::PlateDeviceID(p));
  }
  std::vector<std::string> Subjects;
  std::vector<std::pair<std::string, std::string>> SubjectSegments;
  std::vector<std::pair<std::string, std::string>> SubjectMarkers;
  std::vector<int32_t> Plates;
};

const VNames& Names() {
  static const VNames names;
  return names;
}

// One query: `targets` different arguments; `call` (facade, target index)
// returns the query's boolean result.
struct VQuery {
  const char* Name;
  std::size_t Targets;
  std::function<bool(VSimpleQSClient&, std::size_t)> Call;
};

std::vector<VQuery> Queries() {
  const VNames& n = Names();
  const std::size_t subjects = n.Subjects.size();
  const std::size_t segments = n.SubjectSegments.size();
  const std::size_t markers = n.SubjectMarkers.size();
  const std::size_t plates = n.Plates.size();
  const std::size_t channels = plates * QSBench::AnalogChannels;
  const uint32_t segmentsPer = QSBench::SegmentsPerSubject;
  const uint32_t markersPer = QSBench::MarkersPerSubject;
  return {
      {"GetFrameNumber", 1, [](VSimpleQSClient& f, std::size_t) { int32_t v; return f.GetFrameNumber(v); }},
      {"GetSubjectCount", 1, [](VSimpleQSClient& f, std::size_t) { int32_t v; return f.GetSubjectCount(v); }},
      {"GetSubjectName", subjects,
       [](VSimpleQSClient& f, std::size_t i) {
         std::string name;
         return f.GetSubjectName(static_cast<uint32_t>(i + 1), name);
       }},
      {"GetSegmentCount", subjects,
       [&n](VSimpleQSClient& f, std::size_t i) { int32_t v; return f.GetSegmentCount(n.Subjects[i], v); }},
      {"GetMarkerCount", subjects,
       [&n](VSimpleQSClient& f, std::size_t i) { int32_t v; return f.GetMarkerCount(n.Subjects[i], v); }},
      {"GetSegmentName", segments,
       [&n, segmentsPer](VSimpleQSClient& f, std::size_t i) {
         std::string name;
         return f.GetSegmentName(n.SubjectSegments[i].first, static_cast<uint32_t>(i % segmentsPer + 1), name);
       }},
      {"GetMarkerName", markers,
       [&n, markersPer](VSimpleQSClient& f, std::size_t i) {
         std::string name;
         return f.GetMarkerName(n.SubjectMarkers[i].first, static_cast<uint32_t>(i % markersPer + 1), name);
       }},
      {"GetGlobalSegmentTranslation", segments,
       [&n](VSimpleQSClient& f, std::size_t i) {
         std::array<double, 3> v;
         bool occluded;
         return f.GetGlobalSegmentTranslation(n.SubjectSegments[i].first, n.SubjectSegments[i].second, v, occluded);
       }},
      {"GetGlobalSegmentRotationHelical", segments,
       [&n](VSimpleQSClient& f, std::size_t i) {
         std::array<double, 3> v;
         bool occluded;
         return f.GetGlobalSegmentRotationHelical(n.SubjectSegments[i].first, n.SubjectSegments[i].second, v,
                                                  occluded);
       }},
      {"GetGlobalSegmentRotationQuaternion", segments,
       [&n](VSimpleQSClient& f, std::size_t i) {
         std::array<double, 4> v;
         bool occluded;
         return f.GetGlobalSegmentRotationQuaternion(n.SubjectSegments[i].first, n.SubjectSegments[i].second, v,
                                                     occluded);
       }},
      {"GetGlobalMarkerTranslation", markers,
       [&n](VSimpleQSClient& f, std::size_t i) {
         std::array<double, 3> v;
         bool occluded;
         return f.GetGlobalMarkerTranslation(n.SubjectMarkers[i].first, n.SubjectMarkers[i].second, v, occluded);
       }},
      {"GetForcePlateCount", 1, [](VSimpleQSClient& f, std::size_t) { int32_t v; return f.GetForcePlateCount(v); }},
      {"GetForcePlateID", plates,
       [](VSimpleQSClient& f, std::size_t i) { int32_t v; return f.GetForcePlateID(static_cast<uint32_t>(i + 1), v); }},
      {"GetForceVector", plates,
       [&n](VSimpleQSClient& f, std::size_t i) { std::array<double, 3> v; return f.GetForceVector(n.Plates[i], v); }},
      {"GetMomentVector", plates,
       [&n](VSimpleQSClient& f, std::size_t i) { std::array<double, 3> v; return f.GetMomentVector(n.Plates[i], v); }},
      {"GetCentreOfPressure", plates,
       [&n](VSimpleQSClient& f, std::size_t i) {
         std::array<double, 3> v;
         return f.GetCentreOfPressure(n.Plates[i], v);
       }},
      {"GetNumberOfAnalogChannels", plates,
       [&n](VSimpleQSClient& f, std::size_t i) { int32_t v; return f.GetNumberOfAnalogChannels(n.Plates[i], v); }},
      {"GetAnalogChannelVoltage", channels,
       [&n](VSimpleQSClient& f, std::size_t i) {
         double v;
         return f.GetAnalogChannelVoltage(n.Plates[i / QSBench::AnalogChannels],
                                          static_cast<uint32_t>(i % QSBench::AnalogChannels + 1), v);
       }},
  };
}

// lastOnly: always the last target (the longest scan); otherwise cycles
// through every target.
void BM_Query(benchmark::State& state, const VQuery& query, bool lastOnly) {
  VFacadeFixture fixture;
  VSimpleQSClient& facade = *fixture.Facade;
  for (std::size_t i = 0; i < query.Targets; ++i) {
    if (!query.Call(facade, i)) {
      state.SkipWithError("query failed on the heavy frame");
      return;
    }
  }
  std::size_t target = query.Targets - 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(query.Call(facade, target));
    if (!lastOnly && ++target == query.Targets) target = 0;
  }
  CountAllocations(state, [&] { query.Call(facade, query.Targets - 1); });
}

// ---- Walks over every item of a scene ---------------------------------------------

// A scene of `plates` force plates (force, moment and centre of pressure
// outputs and 8 analog channels each, 10 samples per component) or of one
// subject with `segments` segments and as many markers, each with its pose
// or position: the containers a packet reader would deliver.
struct VWalkScene {
  std::shared_ptr<const VStaticObjects> Static;
  std::shared_ptr<const VDynamicObjects> Dynamic;
  std::size_t Items = 0;  // plates, or segments plus markers
};

VWalkScene PlateScene(int plates) {
  constexpr int Channels = 8;
  auto scene = std::make_shared<VStaticObjects>();
  auto frame = std::make_shared<VDynamicObjects>();
  frame->FrameNumber = 1;
  auto samples = [](int32_t device, int32_t output, int components) {
    VDeviceOutputData data;
    data.DeviceID = device;
    data.OutputID = output;
    data.Samples.assign(static_cast<std::size_t>(components) * 10, 1.5f);
    return data;
  };
  for (int p = 0; p < plates; ++p) {
    const int32_t device = 100 + p;
    const int32_t output = 10 * device;
    scene->Devices.push_back({device, 0, "Plate" + std::to_string(p)});
    scene->DeviceOutputs.push_back({device, output + 1, "Force", {"Fx", "Fy", "Fz"}});
    scene->DeviceOutputs.push_back({device, output + 2, "Moment", {"Mx", "My", "Mz"}});
    scene->DeviceOutputs.push_back({device, output + 3, "Centre", {"Cx", "Cy", "Cz"}});
    VDeviceOutputInfo analog{device, output + 4, "Analog", {}};
    for (int c = 0; c < Channels; ++c) analog.ComponentNames.push_back("Ch" + std::to_string(c + 1));
    scene->DeviceOutputs.push_back(std::move(analog));
    frame->Forces.push_back(samples(device, output + 1, 3));
    frame->Moments.push_back(samples(device, output + 2, 3));
    frame->CentresOfPressure.push_back(samples(device, output + 3, 3));
    frame->Voltages.push_back(samples(device, output + 4, Channels));
  }
  return {scene, frame, static_cast<std::size_t>(plates)};
}

VWalkScene SubjectScene(int segments) {
  auto scene = std::make_shared<VStaticObjects>();
  auto frame = std::make_shared<VDynamicObjects>();
  frame->FrameNumber = 1;
  VSubjectInfo subject;
  subject.SubjectID = 1;
  subject.Name = "Walker";
  VSegmentPoses poses;
  poses.SubjectID = 1;
  for (int g = 0; g < segments; ++g) {
    VSegmentInfo segment;
    segment.SegmentID = g + 1;
    segment.Name = QSBench::SegmentName(g);
    subject.Segments.push_back(segment);
    subject.Markers.push_back({g + 1, QSBench::MarkerName(g)});
    VSegmentPose pose{};
    pose.SegmentID = g + 1;
    pose.Rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    poses.Poses.push_back(pose);
    VMarkerPosition position{};
    position.SubjectID = 1;
    position.MarkerID = g + 1;
    frame->MarkerPositions.push_back(position);
  }
  scene->Subjects.push_back(std::move(subject));
  frame->GlobalSegmentPoses.push_back(std::move(poses));
  return {scene, frame, 2 * static_cast<std::size_t>(segments)};
}

// Every plate with its three vectors, its channel count and each channel's
// voltage; the number of successful calls.
std::size_t WalkPlates(VSimpleQSClient& facade) {
  std::size_t answered = 0;
  int32_t plates = 0;
  answered += facade.GetForcePlateCount(plates);
  for (int32_t i = 1; i <= plates; ++i) {
    int32_t id = 0;
    answered += facade.GetForcePlateID(static_cast<uint32_t>(i), id);
    std::array<double, 3> v;
    answered += facade.GetForceVector(id, v);
    answered += facade.GetMomentVector(id, v);
    answered += facade.GetCentreOfPressure(id, v);
    int32_t channels = 0;
    answered += facade.GetNumberOfAnalogChannels(id, channels);
    for (int32_t c = 1; c <= channels; ++c) {
      double voltage = 0;
      answered += facade.GetAnalogChannelVoltage(id, static_cast<uint32_t>(c), voltage);
    }
  }
  return answered;
}

// Every subject by name, every segment with its translation and rotation,
// every marker with its translation.
std::size_t WalkSubjects(VSimpleQSClient& facade) {
  std::size_t answered = 0;
  int32_t subjects = 0;
  answered += facade.GetSubjectCount(subjects);
  for (int32_t s = 1; s <= subjects; ++s) {
    std::string subject;
    answered += facade.GetSubjectName(static_cast<uint32_t>(s), subject);
    int32_t segments = 0;
    answered += facade.GetSegmentCount(subject, segments);
    for (int32_t g = 1; g <= segments; ++g) {
      std::string segment;
      answered += facade.GetSegmentName(subject, static_cast<uint32_t>(g), segment);
      std::array<double, 3> v;
      std::array<double, 4> q;
      bool occluded = true;
      answered += facade.GetGlobalSegmentTranslation(subject, segment, v, occluded) && !occluded;
      answered += facade.GetGlobalSegmentRotationQuaternion(subject, segment, q, occluded) && !occluded;
    }
    int32_t markers = 0;
    answered += facade.GetMarkerCount(subject, markers);
    for (int32_t m = 1; m <= markers; ++m) {
      std::string marker;
      answered += facade.GetMarkerName(subject, static_cast<uint32_t>(m), marker);
      std::array<double, 3> v;
      bool occluded = true;
      answered += facade.GetGlobalMarkerTranslation(subject, marker, v, occluded) && !occluded;
    }
  }
  return answered;
}

// One turn of a host per iteration: a new frame queued, taken, walked.
void BM_Walk(benchmark::State& state, const VWalkScene* scene, std::size_t (*walk)(VSimpleQSClient&),
             std::size_t callsPerTurn) {
  std::shared_ptr<VQSClient> client = NewFrameClient();
  VSimpleQSClient facade;
  facade.Connect(client, "walk");
  client->OnStaticObjects(scene->Static);
  for (auto _ : state) {
    client->OnDynamicObjects(scene->Dynamic);
    facade.GetFrame();
    if (walk(facade) != callsPerTurn) {
      state.SkipWithError("a query failed during the walk");
      break;
    }
  }
  state.counters["items"] = static_cast<double>(scene->Items);
  facade.Disconnect();
}

struct VWalk {
  const char* Name;
  const char* Small;  // the walk it is compared with per item; nullptr for a small one
  VWalkScene Scene;
  std::size_t (*Walk)(VSimpleQSClient&);
  std::size_t Calls;
};

const std::vector<VWalk>& Walks() {
  static const std::vector<VWalk> walks = [] {
    std::vector<VWalk> w;
    // Calls per turn: the count, then per plate its id, three vectors, the
    // channel count and 8 channels; per subject its name, two counts, then
    // per segment its name, translation and rotation, per marker its name
    // and translation.
    w.push_back({"walk/plates_8", nullptr, PlateScene(8), WalkPlates, 1 + 8 * 13});
    w.push_back({"walk/plates_100", "walk/plates_8", PlateScene(100), WalkPlates, 1 + 100 * 13});
    w.push_back({"walk/plates_1000", "walk/plates_8", PlateScene(1000), WalkPlates, 1 + 1000 * 13});
    w.push_back({"walk/segments_20", nullptr, SubjectScene(20), WalkSubjects, 4 + 20 * 5});
    w.push_back({"walk/segments_2000", "walk/segments_20", SubjectScene(2000), WalkSubjects, 4 + 2000 * 5});
    w.push_back({"walk/segments_20000", "walk/segments_20", SubjectScene(20000), WalkSubjects, 4 + 20000 * 5});
    return w;
  }();
  return walks;
}

// ---- Comparison table ------------------------------------------------------------

constexpr double WalkPerItemTarget = 2.0;

struct VComparison {
  const char* Subject;
  const char* Floor;
  double Target;  // ratio not to exceed; 0: none set
};

const VComparison Comparisons[] = {
    {"decode/dynamic_packet", "floor/memcpy_dynamic_packet", 3.0},
    {"decode/static_packet", "floor/memcpy_static_packet", 0.0},
    {"decode/carried_scene", "floor/copy_scene", 0.0},
    {"receive/read_and_decode", "floor/memcpy_dynamic_packet", 0.0},
    {"receive/frame", "floor/memcpy_dynamic_packet", 0.0},
    {"receive/heavy_packet_socket", "floor/memcpy_dynamic_packet", 0.0},
    {"handover/direct", "floor/copy_record", 0.15},
    {"handover/prefetch", "floor/copy_record", 0.15},
    {"assembly/get_frames_fresh_array", "floor/copy_record", 0.0},
    {"assembly/get_frames_reused_array", "floor/assign_record", 0.0},
};

// The console output as usual; at the end, each subject beside its floor
// (medians when repetitions were asked for) and the queries per call.
class VComparingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      const double ns = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      VResult& result = Results[name];
      // With repetitions, the median run's time and counters stand (the
      // single runs may not be reported at all, with
      // --benchmark_report_aggregates_only).
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        result.Median = true;
      } else if (result.Median) {
        continue;
      }
      result.Ns = ns;
      auto allocs = run.counters.find("allocs");
      if (allocs != run.counters.end()) result.Allocs = allocs->second.value;
      auto items = run.counters.find("items");
      if (items != run.counters.end()) result.Items = items->second.value;
      auto perFrame = run.counters.find("bytes_per_frame");
      if (perFrame != run.counters.end()) result.BytesPerFrame = perFrame->second.value;
      auto sceneBytes = run.counters.find("scene_bytes");
      if (sceneBytes != run.counters.end()) result.SceneBytes = sceneBytes->second.value;
      if (Order.empty() || Order.back() != name) Order.push_back(name);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-34s %12s   %-30s %12s %8s %8s %10s\n", "result", "ns", "floor", "floor ns", "ratio",
                "target", "allocs");
    for (const VComparison& c : Comparisons) {
      auto subject = Results.find(c.Subject);
      auto floor = Results.find(c.Floor);
      if (subject == Results.end() || floor == Results.end()) continue;
      const double ratio = subject->second.Ns / floor->second.Ns;
      char target[32] = "-";
      if (c.Target > 0) std::snprintf(target, sizeof target, "<= %.2f", c.Target);
      std::printf("%-34s %12.0f   %-30s %12.0f %8.2f %8s %10.1f%s\n", c.Subject, subject->second.Ns, c.Floor,
                  floor->second.Ns, ratio, target, subject->second.Allocs,
                  c.Target > 0 ? (ratio <= c.Target ? "  met" : "  MISSED") : "");
    }
    bool header = false;
    for (const std::string& name : Order) {
      if (name.rfind("query/", 0) != 0) continue;
      if (!header) {
        std::printf("\n%-50s %12s %10s\n", "query (per call)", "ns", "allocs");
        header = true;
      }
      const VResult& result = Results[name];
      std::printf("%-50s %12.1f %10.1f\n", name.c_str(), result.Ns, result.Allocs);
    }
    header = false;
    for (const VWalk& walk : Walks()) {
      auto large = Results.find(walk.Name);
      auto small = walk.Small ? Results.find(walk.Small) : Results.end();
      if (large == Results.end() || small == Results.end() || small->second.Items == 0) continue;
      if (!header) {
        std::printf("\n%-22s %12s   %-18s %12s %8s %8s %10s\n", "walk", "ns", "small scene", "small ns",
                    "items x", "time x", "per item");
        header = true;
      }
      const double items = large->second.Items / small->second.Items;
      const double time = large->second.Ns / small->second.Ns;
      // The largest subject walk has a target: its cost per item within
      // WalkPerItemTarget of the small scene's.
      const bool targeted = std::strcmp(walk.Name, "walk/segments_20000") == 0;
      std::printf("%-22s %12.0f   %-18s %12.0f %8.0f %8.1f %10.2f%s\n", walk.Name, large->second.Ns, walk.Small,
                  small->second.Ns, items, time, time / items,
                  targeted ? (time / items <= WalkPerItemTarget ? "  met (<= 2)" : "  MISSED (<= 2)") : "");
    }
    auto queued = Results.find("memory/queued_frames");
    if (queued != Results.end()) {
      std::printf("\nqueue of %u heavy frames: %.0f bytes allocated per queued frame; one copy of the scene: %.0f bytes\n",
                  QueuedHeavyFrames, queued->second.BytesPerFrame, queued->second.SceneBytes);
    }
    std::printf("(%s)\n", AnyMedian() ? "medians of the repetitions" : "single runs; pass --benchmark_repetitions=N for medians");
  }

 private:
  struct VResult {
    double Ns = 0;
    double Allocs = 0;
    double Items = 0;
    double BytesPerFrame = 0;
    double SceneBytes = 0;
    bool Median = false;
  };
  bool AnyMedian() const {
    for (const auto& entry : Results) {
      if (entry.second.Median) return true;
    }
    return false;
  }
  std::map<std::string, VResult> Results;
  std::vector<std::string> Order;
};

void RegisterAll() {
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("decode/dynamic_packet", BM_DecodeDynamicPacket);
  RegisterBenchmark("floor/memcpy_dynamic_packet", BM_MemcpyDynamicPacket);
  RegisterBenchmark("decode/static_packet", BM_DecodeStaticPacket);
  RegisterBenchmark("floor/memcpy_static_packet", BM_MemcpyStaticPacket);
  RegisterBenchmark("decode/carried_scene", BM_DecodeCarriedScene);
  RegisterBenchmark("decode/demo_packet", BM_DecodeDemoPacket, EDemoDecode::BackToBack);
  RegisterBenchmark("decode/demo_packet_after_idle", BM_DecodeDemoPacket, EDemoDecode::AfterIdle)
      ->UseManualTime()
      ->Iterations(400);
  RegisterBenchmark("decode/demo_packet_rehearsed", BM_DecodeDemoPacket, EDemoDecode::Rehearsed)
      ->UseManualTime()
      ->Iterations(400);
  RegisterBenchmark("floor/copy_scene", BM_CopyScene);
  RegisterBenchmark("receive/read_and_decode", BM_ReadAndDecodeDynamicPacket);
  RegisterBenchmark("receive/frame", BM_ReceiveFrame);
  RegisterBenchmark("receive/heavy_packet_socket", BM_ReceiveHeavyPacketOverSocket);
  RegisterBenchmark("receive/demo_packet_after_idle", BM_ReceiveDemoPacketAfterIdle)->UseManualTime()->Iterations(400);
  RegisterBenchmark("handover/direct", BM_HandOverDirect);
  RegisterBenchmark("handover/prefetch", BM_HandOverPrefetch);
  RegisterBenchmark("floor/copy_record", BM_CopyRecord);
  RegisterBenchmark("floor/assign_record", BM_AssignRecord);
  RegisterBenchmark("memory/queued_frames", BM_QueuedFrames);
  RegisterBenchmark("assembly/get_frames_fresh_array", BM_GetFrames, false);
  RegisterBenchmark("assembly/get_frames_reused_array", BM_GetFrames, true);
  static const std::vector<VQuery> queries = Queries();
  for (const VQuery& query : queries) {
    RegisterBenchmark((std::string("query/") + query.Name + "/last").c_str(), BM_Query, std::cref(query), true);
    if (query.Targets > 1) {
      RegisterBenchmark((std::string("query/") + query.Name + "/all").c_str(), BM_Query, std::cref(query), false);
    }
  }
  for (const VWalk& walk : Walks()) {
    RegisterBenchmark(walk.Name, BM_Walk, &walk.Scene, walk.Walk, walk.Calls)->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterAll();
  VComparingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
