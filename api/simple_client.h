// VSimpleQSClient: the one facade behind the exported functions. It holds
// the frame client while connected, keeps the newest frame record and
// answers every query from it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/frame_queries.h"
#include "api/prefetch_frame.h"
#include "api/simple_client_interface.h"
#include "client/frame_record.h"
#include "client/qs_client.h"
#include "streamio/object_types.h"

// The queries themselves are VFrameQueries', answered from the current
// record; the facade adds the connection, frame fetching and prefetching.
//
// Threads: every public operation may be called from any number of host
// threads at once. Each holds CallMutex for its whole run, so the current
// record, its lookups (built lazily by the queries), the prefetch thread's
// handle and the axis settings are only ever touched by one host thread at a
// time; Connect alone releases it while its connection attempt blocks, so
// that other threads' calls answer (not connected) meanwhile. The facade's
// own prefetch thread never takes CallMutex: it has the frame client put its
// frames into PreFetchFrame on the receiving thread (a frame client that
// cannot do that, it polls and puts them there itself).
//
// Client is read by the prefetch thread while Connect may store it, so every
// store to it and every read on the prefetch thread goes through
// std::atomic_store / std::atomic_load. Host threads read it directly under
// CallMutex: a host polling GetFrame and GetFrameNumber would otherwise
// contend with the prefetch thread for the lock behind std::atomic_load on
// every call.
//
// Lock order: ConnectMutex, CallMutex, the frame client's sink lock (held
// while it puts a frame into PreFetchFrame), PreFetchFrame's FrameMutex, then
// the frame client's own lock (a record release may call into the frame
// client). GetFrames is always called without FrameMutex held.
class VSimpleQSClient : public ISimpleQSClient {
 public:
  // The port every connection goes to.
  static constexpr int32_t ServerPort = 801;

  VSimpleQSClient();
  // Stops and joins the prefetch thread in every state (also when the
  // connection was lost or never made), then releases the frame client.
  ~VSimpleQSClient() override;
  VSimpleQSClient(const VSimpleQSClient&) = delete;
  VSimpleQSClient& operator=(const VSimpleQSClient&) = delete;

  bool Connect(std::shared_ptr<IQSClient> client, const std::string& host) override;
  // Connected: stops prefetching, releases the frame client, returns true.
  // Lost (a frame client is held but its connection ended): stops
  // prefetching and releases the dead frame client so that a later Connect
  // can succeed, and returns false since nothing was connected.
  bool Disconnect() override;
  bool IsConnected() override;
  void SetPreFetchMode(bool enable) override;
  bool GetFrame() override;
  bool GetFrameNumber(int32_t& frameNumber) override;
  bool GetSubjectCount(int32_t& count) override;
  bool GetSubjectName(uint32_t subjectIndex, std::string& name) override;
  bool EnableSegmentData() override;
  bool EnableMarkerData() override;
  bool EnableForcePlateData() override;
  bool GetSegmentCount(const std::string& subjectName, int32_t& count) override;
  bool GetMarkerCount(const std::string& subjectName, int32_t& count) override;
  bool GetSegmentName(const std::string& subjectName, uint32_t segmentIndex,
                      std::string& name) override;
  bool GetMarkerName(const std::string& subjectName, uint32_t markerIndex,
                     std::string& name) override;
  bool GetGlobalMarkerTranslation(const std::string& subjectName, const std::string& markerName,
                                  std::array<double, 3>& translation, bool& occluded) override;
  bool GetGlobalSegmentTranslation(const std::string& subjectName, const std::string& segmentName,
                                   std::array<double, 3>& translation, bool& occluded) override;
  bool GetGlobalSegmentRotationHelical(const std::string& subjectName,
                                       const std::string& segmentName,
                                       std::array<double, 3>& helical, bool& occluded) override;
  bool GetGlobalSegmentRotationQuaternion(const std::string& subjectName,
                                          const std::string& segmentName,
                                          std::array<double, 4>& quaternion,
                                          bool& occluded) override;
  bool GetForcePlateCount(int32_t& count) override;
  bool GetForcePlateID(uint32_t plateIndex, int32_t& deviceID) override;
  bool GetForceVector(int32_t deviceID, std::array<double, 3>& force) override;
  bool GetMomentVector(int32_t deviceID, std::array<double, 3>& moment) override;
  bool GetCentreOfPressure(int32_t deviceID, std::array<double, 3>& centre) override;
  bool GetNumberOfAnalogChannels(int32_t deviceID, int32_t& count) override;
  bool GetAnalogChannelVoltage(int32_t deviceID, uint32_t channel, double& voltage) override;
  void SetLeftHandRule() override;
  void SetRightHandRule() override;
  void SetYUp() override;
  void SetZUp() override;

 private:
  // The private helpers below run under CallMutex.
  // A frame client is held and its connection is up.
  bool Connected();
  // Enables the types of `kind` in catalogue order on the frame client;
  // false when not connected.
  bool EnableTypes(LumoraQSStream::EDataKind kind);
  // Runs query(Queries) under CallMutex and returns its result.
  template <class Query>
  auto Ask(Query query);
  // Host threads, under CallMutex: takes every queued frame from the frame
  // client into HostFrames (the newest last); false when none was queued or
  // no frame client is held.
  bool TakeQueuedFrames();
  void StartPreFetch();
  void StopPreFetch();
  // Wakes a prefetch thread waiting for a frame client.
  void WakePreFetch();
  void PreFetchLoop();

  // A frame client that cannot put its frames into PreFetchFrame itself
  // (SetFrameSink) is pulled from: the prefetch thread polls it while frames
  // keep coming (a frame at least every PreFetchPollMs, 20 frames per second
  // and more), so that it takes each as soon as it is queued; once none has
  // come for that long (a paused or lost stream, no connection) it sleeps on
  // the queue instead of keeping a processor busy.
  static constexpr uint32_t PreFetchPollMs = 50;
  // The longest the prefetch thread sleeps in one wait, for frames or for a
  // frame client: a bound on how long StopPreFetch (SetPreFetchMode(false),
  // Disconnect) waits for the thread to end while no frame arrives.
  static constexpr uint32_t PreFetchWaitMs = 5;

  // Held by every public operation (see above).
  std::mutex CallMutex;
  // Held through the whole of Connect: one connection attempt at a time, so
  // that two threads connecting at once cannot both store a client.
  std::mutex ConnectMutex;
  std::shared_ptr<IQSClient> Client;
  std::shared_ptr<std::thread> PreFetchThread;
  std::atomic<bool> PreFetchRunning;
  // What the prefetch thread waits on while no frame client is held.
  std::mutex PreFetchWakeMutex;
  std::condition_variable PreFetchWake;
  // The current frame record, the queries over it and the axis settings.
  // Its queries fail once the connection is gone.
  VFrameQueries Queries;
  // The record prefetching fills; GetFrame exchanges it into the
  // current record.
  VPreFetchFrame PreFetchFrame;
  // The records host calls take frames into (under CallMutex). Kept from one
  // call to the next so that a frame is copied into the room of the record
  // it replaces rather than into new allocations. Between calls they refer
  // to nothing, except for the record a GetFrame without prefetching
  // replaced, which the next GetFrame (or Disconnect) lets go of.
  std::vector<VFrameRecord> HostFrames;
};
