// VCaptureServer: a real TCP capture-server peer on a loopback address.
//
// It serves connections one after another on its accept thread (the
// served-connection library, serve/). On every
// connection it sends a handshake packet, records every request packet the
// client sends (raw bytes and the decoded type list and stream mode), and
// sends the packets a test has scripted, in one of a few
// behaviours. Every wait is bounded, Stop() always returns promptly and no
// thread outlives the object.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serve/acceptor.h"
#include "serve/request_packet.h"
#include "serve/wire_encoder.h"
#include "streamio/object_types.h"

namespace QSTesting {

using VBytes = std::vector<uint8_t>;
using LumoraQSServe::VRecordedRequest;

// What the server does after accepting a connection.
enum class EServeBehaviour {
  // Send the handshake, then answer each request with the next scripted
  // packet. With an empty script, wait (at most ScriptWait) for more; the
  // connection is closed when nothing came.
  AnswerEachRequest,
  // Send the handshake, then send scripted packets as they become available,
  // without waiting for requests (requests are still read and recorded).
  StreamScript,
  // Close the connection right after accepting it; send nothing.
  CloseAfterAccept,
  // Send the handshake, then send nothing more; requests are still read and
  // recorded until the client closes or the server stops.
  SilentAfterHandshake,
};

struct VCaptureServerOptions {
  std::string Address = "127.0.0.1";  // loopback only
  uint16_t Port = 0;                  // 0: an ephemeral port, read back with Port()
  EServeBehaviour Behaviour = EServeBehaviour::AnswerEachRequest;
  // The types the default handshake offers in its ObjectTypeList.
  std::set<int32_t> OfferedTypes = {
      LumoraQSStream::StreamInfo,        LumoraQSStream::SubjectInfo,        LumoraQSStream::DeviceInfo,
      LumoraQSStream::DeviceOutputInfo,  LumoraQSStream::FrameNumber,        LumoraQSStream::MarkerPositions,
      LumoraQSStream::MarkerRecords,     LumoraQSStream::OtherSegmentPoses,  LumoraQSStream::GlobalSegmentPoses,
      LumoraQSStream::ForceData,         LumoraQSStream::MomentData,         LumoraQSStream::CentreOfPressureData,
      LumoraQSStream::VoltageData,       LumoraQSStream::VideoFrame};
  // Replaces the default handshake packet when set; an empty vector sends
  // no handshake at all.
  std::optional<VBytes> HandshakeBytes;
  // Send everything one byte per write (the handshake and scripted packets),
  // with ByteGap between the bytes, to exercise readers that must assemble
  // packets from partial reads.
  bool OneByteAtATime = false;
  std::chrono::microseconds ByteGap{0};
  // Close the connection once the script is empty instead of waiting for
  // more (AnswerEachRequest: when a request finds the script empty;
  // StreamScript: after the last scripted packet).
  bool CloseWhenScriptExhausted = false;
  // How long an answer waits for a scripted packet when the script is empty.
  std::chrono::milliseconds ScriptWait{5000};
  // Upper bound on the life of one connection, whatever the behaviour.
  std::chrono::milliseconds MaxConnectionTime{60000};
  // Requests announcing a larger payload end the connection.
  uint32_t MaxRequestPayload = LumoraQSServe::DefaultMaxRequestPayload;
};

class VCaptureServer {
 public:
  explicit VCaptureServer(VCaptureServerOptions options = {});
  ~VCaptureServer();
  VCaptureServer(const VCaptureServer&) = delete;
  VCaptureServer& operator=(const VCaptureServer&) = delete;

  // Binds, listens and starts the serving thread. False (with LastError())
  // when the address cannot be bound or the server was already started.
  bool Start();
  // Shuts the listening and the current connection's sockets down, wakes
  // every wait and joins the threads. Safe to call more than once.
  void Stop();

  uint16_t Port() const { return Port_; }
  std::string LastError() const;

  // Appends to the script (thread-safe; may be called while serving).
  void Push(VBytes packet);
  void Push(const std::vector<VBytes>& packets);
  std::size_t ScriptLeft() const;

  std::size_t ConnectionsAccepted() const;
  // A connection counts as closed once its socket is closed and its reader
  // joined: waiting for the count leaves none of its descriptors or threads.
  std::size_t ConnectionsClosed() const;
  std::vector<VRecordedRequest> Requests() const;
  std::size_t RequestCount() const;

  // Wait at most `timeout`; true when the condition holds.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForClosedConnections(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct VConnection;

  // The accept thread's handler: serves the connection to its end.
  void Take(std::unique_ptr<LumoraQSServe::VServedConnection> served);
  void Serve(VConnection& connection);
  bool SendAll(VConnection& connection, const VBytes& bytes);
  bool WaitForScript(VConnection& connection, std::chrono::steady_clock::time_point deadline,
                     VBytes& packet);

  const VCaptureServerOptions Options_;
  uint16_t Port_ = 0;

  mutable std::mutex Mutex_;
  mutable std::condition_variable Changed_;
  bool Started_ = false;
  bool Stopping_ = false;
  LumoraQSServe::VServedConnection* Current_ = nullptr;  // the one being served
  std::deque<VBytes> Script_;
  std::vector<VRecordedRequest> Requests_;
  std::size_t Accepted_ = 0;
  std::size_t Closed_ = 0;
  std::string LastError_;

  LumoraQSServe::VAcceptor Acceptor_;
};

}  // namespace QSTesting
