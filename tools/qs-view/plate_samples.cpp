#include "tools/qs-view/plate_samples.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <set>
#include <vector>

#include "api/frame_queries.h"
#include "client/frame_record.h"
#include "stream/stream_session.h"
#include "streamio/object_types.h"

namespace QSView {

// Takes each frame of the connection into the frame queries and hands every
// force sample of every plate to the owner.
class VPlateSamples::VObserver : public LumoraQSStream::IStreamSessionObserver {
 public:
  explicit VObserver(VPlateSamples& owner) : Owner(owner) {
    if (owner.Axes.YUp) Queries.SetYUp();
    if (owner.Axes.LeftHanded) Queries.SetLeftHandRule();
  }

  bool OnHandshake(const LumoraQSStream::VReceivedPacket&) override {
    std::lock_guard<std::mutex> lock(Owner.Lock);
    Owner.State = "connected";
    return !Owner.Stopping;
  }

  bool OnPacket(const LumoraQSStream::VReceivedPacket&, const LumoraQSStream::VPacketDelivery& delivery) override {
    if (delivery.Static) Scene = delivery.Static;
    if (!delivery.Dynamic) return !Owner.Stopping;
    FillFrameRecord(Scene, delivery.Dynamic, Record);
    Queries.Exchange(Record);
    int32_t plates = 0;
    Queries.GetForcePlateCount(plates);
    const int up = Owner.Axes.YUp ? 1 : 2;
    for (int32_t i = 1; i <= plates && static_cast<std::size_t>(i) <= Owner.Limits.MaxPlates; ++i) {
      int32_t id = 0;
      if (!Queries.GetForcePlateID(static_cast<uint32_t>(i), id)) continue;
      if (!Queries.GetPlateSamples(id, VFrameLookups::Forces, Samples) || Samples.empty()) continue;
      Owner.Add(id, &Samples[0][static_cast<std::size_t>(up)], Samples.size(), 3);
    }
    return !Owner.Stopping;
  }

 private:
  VPlateSamples& Owner;
  VFrameQueries Queries;
  VFrameRecord Record;
  std::shared_ptr<const LumoraQSStream::VStaticObjects> Scene;
  std::vector<std::array<float, 3>> Samples;
};

VPlateSamples::VPlateSamples(std::string host, const VAxes& axes, VSampleLimits limits)
    : Host(std::move(host)), Axes(axes), Limits(limits) {}

VPlateSamples::~VPlateSamples() { Stop(); }

void VPlateSamples::Start() { Thread = std::thread([this] { Read(); }); }

void VPlateSamples::Stop() {
  Stopping = true;
  {
    std::lock_guard<std::mutex> lock(Lock);
    if (Session) Session->Shutdown();
  }
  if (Thread.joinable()) Thread.join();
}

void VPlateSamples::Read() {
  std::set<int32_t> types;
  for (const auto kind : {LumoraQSStream::EDataKind::Scene, LumoraQSStream::EDataKind::ForcePlates}) {
    for (const int32_t type : LumoraQSStream::TypesOfKind(kind)) types.insert(type);
  }
  while (!Stopping) {
    if (!Allowed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    LumoraQSStream::VStreamSession session;
    {
      std::lock_guard<std::mutex> lock(Lock);
      Session = &session;
    }
    boost::system::error_code error;
    const auto endpoints = session.Resolve(Host, error);
    if (!Stopping && !error && !session.Connect(endpoints, 801)) {
      session.SetNoDelay();
      session.SetRequestedTypes(types);
      session.SetStreamMode(1);  // push: every frame, with no request per frame
      try {
        VObserver observer(*this);
        (void)session.Run(observer);
      } catch (const std::exception&) {
        // A packet the reader or the queries could not take (memory, most
        // likely) ends this connection only; it is retried like a lost one.
      }
    }
    session.Close();
    {
      std::lock_guard<std::mutex> lock(Lock);
      Session = nullptr;
      State = "failed";
    }
    for (int waited = 0; waited < RetryEveryMs && !Stopping; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void VPlateSamples::Add(int32_t id, const float* up, std::size_t count, std::size_t stride) {
  std::lock_guard<std::mutex> lock(Lock);
  VPlate& plate = Plates[id];
  for (std::size_t i = 0; i < count; ++i) plate.Up.push_back(up[i * stride]);
  while (plate.Up.size() > Limits.MaxKeptSamples) plate.Up.pop_front();
  plate.End += count;
}

void VPlateSamples::AppendJson(std::string& out) const {
  std::lock_guard<std::mutex> lock(Lock);
  out += R"(,"samples":{"state":")";
  out += State;
  out += R"(","plates":[)";
  bool first = true;
  char number[32];
  for (const auto& [id, plate] : Plates) {
    out += first ? "" : ",";
    first = false;
    out += R"({"id":)" + std::to_string(id) + R"(,"end":)" + std::to_string(plate.End) + R"(,"up":[)";
    const std::size_t shown = std::min(plate.Up.size(), Limits.SamplesPerMessage);
    for (std::size_t i = plate.Up.size() - shown; i < plate.Up.size(); ++i) {
      if (i > plate.Up.size() - shown) out += ',';
      if (std::isfinite(plate.Up[i])) {
        std::snprintf(number, sizeof number, "%.1f", static_cast<double>(plate.Up[i]));
        out += number;
      } else {
        out += "null";
      }
    }
    out += "]}";
  }
  out += "]}";
}

}  // namespace QSView
