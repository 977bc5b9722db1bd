// A host that loads libQS.so at run time, as a plugin host would, and
// unloads it (or exits) in a given state. Run by the lifecycle tests as a
// child process: its exit status tells whether the state was left cleanly.
//
//   qs_dlopen_child <library> <address> <mode>
//
// Modes:
//   unload-connected    connected to a peer that sends its handshake and then
//                       nothing (the receiving thread waits for a packet),
//                       then dlclose
//   unload-silent-peer  connected to a peer that never sends a byte (the
//                       receiving thread waits for the handshake), then dlclose
//   unload-prefetching  connected to a streaming peer with prefetching on,
//                       then dlclose
//   unload-video-held   the current frame holds a video frame the peer sent
//                       unasked; Disconnect, then dlclose
//   unload-deaf-peer    connected to a peer that floods packets and reads no
//                       request, then dlclose
//   exit-connected      connected with prefetching on, then return from main
//                       with the library still loaded (unloaded by exit)
//
// Exit status: 0 when the library was loaded, driven and left as asked (and
// for the unload modes, is really gone after dlclose); 3 when a step failed;
// 77 when the peer cannot listen.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "testing/hostile_peer.h"
#include "testing/capture_server.h"
#include "testing/wait.h"

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;

namespace {

using FConnect = unsigned char (*)(const char*);
using FVoid = unsigned char (*)();
using FFrameNumber = unsigned char (*)(int32_t*);
using FSetPreFetch = void (*)(unsigned char);

// The peers outlive the library: they are destroyed after everything the
// library registered for exit, so that at exit the library still finds its
// peer there.
std::unique_ptr<VCaptureServer> Server;
std::unique_ptr<QSTesting::VHostilePeer> Deaf;

int Fail(const char* step) {
  std::fprintf(stderr, "dlopen child: %s failed\n", step);
  return 3;
}

template <class T>
T Symbol(void* library, const char* name) {
  return reinterpret_cast<T>(dlsym(library, name));
}

bool WaitFrame(FVoid getFrame, FFrameNumber frameNumber, int32_t atLeast) {
  return WaitUntil(
      [&] {
        getFrame();
        int32_t n = 0;
        return frameNumber(&n) && n >= atLeast;
      },
      10s);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <library> <address> <mode>\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const std::string address = argv[2];
  const std::string mode = argv[3];

  VCaptureServerOptions options;
  options.Address = address;
  options.Port = 801;
  options.ScriptWait = 20000ms;
  options.MaxConnectionTime = 40000ms;
  std::atomic<bool> stalled{false};
  if (mode == "unload-deaf-peer") {
    Deaf = std::make_unique<QSTesting::VHostilePeer>(address, 801, 4096);
    if (!Deaf->Listen()) return 77;
    Deaf->Serve([&stalled](QSTesting::VPeerConnection& c) {
      if (!c.Send(EncodePacket({EncodeObjectTypeList(std::set<int32_t>{1, 2, 3, 4, 5})}))) return;
      c.Flood(EncodePacket({EncodeFrameNumber(1)}), 5000000, 30000ms, 1000ms);
      stalled = c.Stalled();
      c.Idle(30000ms);
    });
  } else {
    const bool silent = mode == "unload-connected" || mode == "unload-silent-peer";
    options.Behaviour = silent ? EServeBehaviour::SilentAfterHandshake : EServeBehaviour::AnswerEachRequest;
    if (mode == "unload-silent-peer") options.HandshakeBytes = VBytes{};
    Server = std::make_unique<VCaptureServer>(options);
    if (!Server->Start()) return 77;
    if (mode == "unload-video-held") {
      LumoraQSStream::VVideoFrame video;
      video.Width = 2;
      video.Height = 2;
      video.Format = 3;
      video.Data = {1, 2, 3, 4};
      Server->Push(EncodePacket({EncodeFrameNumber(1), EncodeVideoFrame(video)}));
    } else {
      for (int32_t i = 1; i <= 2000; ++i) Server->Push(EncodePacket({EncodeFrameNumber(i)}));
    }
  }

  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return Fail("dlopen");
  }
  auto connect = Symbol<FConnect>(library, "Connect");
  auto disconnect = Symbol<FVoid>(library, "Disconnect");
  auto isConnected = Symbol<FVoid>(library, "IsConnected");
  auto getFrame = Symbol<FVoid>(library, "GetFrame");
  auto frameNumber = Symbol<FFrameNumber>(library, "GetFrameNumber");
  auto setPreFetch = Symbol<FSetPreFetch>(library, "SetPreFetchMode");
  if (!connect || !disconnect || !isConnected || !getFrame || !frameNumber || !setPreFetch) return Fail("dlsym");

  if (!connect(address.c_str())) return Fail("Connect");
  if (mode == "unload-connected") {
    if (!Server->WaitForRequests(1, 10s)) return Fail("first request");
  } else if (mode == "unload-silent-peer") {
    if (!Server->WaitForConnections(1, 10s)) return Fail("accept");
    // A silent peer is not a lost connection: nothing may change during this
    // pause, after which the receiving thread is in its first read.
    std::this_thread::sleep_for(100ms);
    if (!isConnected()) return Fail("connected to the silent peer");
  } else if (mode == "unload-deaf-peer") {
    if (QSTesting::LimitClientSendBuffer(address, 801) != 1) return Fail("limiting the send buffer");
    if (!WaitUntil([&] { return stalled || Deaf->Finished(); }, 40s) || !stalled) {
      return Fail("flooding until the client stops reading");
    }
  } else if (mode == "unload-video-held") {
    if (!WaitFrame(getFrame, frameNumber, 1)) return Fail("frame with video");
    if (!disconnect()) return Fail("Disconnect");
  } else {
    setPreFetch(1);
    if (!WaitFrame(getFrame, frameNumber, 5)) return Fail("prefetched frames");
  }
  if (mode == "exit-connected") {
    if (!isConnected()) return Fail("still connected at exit");
    return 0;  // exit unloads the library while it is connected and prefetching
  }

  if (dlclose(library) != 0) return Fail("dlclose");
  // The library must really be gone: its destructors ran and nothing of it
  // is still mapped.
  void* again = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (again) {
    dlclose(again);
    return Fail("unloading (the library is still loaded after dlclose)");
  }
  if (Deaf) Deaf->Stop();
  return 0;
}
