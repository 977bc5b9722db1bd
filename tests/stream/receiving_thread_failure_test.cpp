// Failures that surface as exceptions inside the receiving thread end the
// connection like any other failure: exactly one OnDisconnected, nothing
// escapes the thread. This binary replaces the global allocator so that a
// large allocation can be made to fail on demand.
#include "stream/stream_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "testing/capture_server.h"

namespace {
std::atomic<bool> FailLargeAllocations{false};
constexpr std::size_t LargeAllocation = 64u * 1024u * 1024u;
}  // namespace

namespace {
void* Allocate(std::size_t size) {
  if (FailLargeAllocations.load() && size >= LargeAllocation) throw std::bad_alloc();
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

using namespace std::chrono_literals;
using namespace LumoraQSServe;
using namespace QSTesting;

namespace {

class VCounter : public ILumoraQSStreamClientCallback {
 public:
  void OnConnected() override { Bump(Connected); }
  void OnStaticObjects(std::shared_ptr<const LumoraQSStream::VStaticObjects>) override {
    Bump(Statics);
    if (ThrowFromStatic) throw std::runtime_error("receiver failed");
  }
  void OnDynamicObjects(std::shared_ptr<const LumoraQSStream::VDynamicObjects>) override {
    Bump(Dynamics);
  }
  void OnDisconnected() override { Bump(Disconnected); }

  bool WaitFor(const int& counter, int value) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, 5s, [&] { return counter >= value; });
  }
  int Get(const int& counter) {
    std::lock_guard<std::mutex> lock(Mutex);
    return counter;
  }

  int Connected = 0, Statics = 0, Dynamics = 0, Disconnected = 0;
  bool ThrowFromStatic = false;

 private:
  void Bump(int& counter) {
    std::lock_guard<std::mutex> lock(Mutex);
    ++counter;
    Changed.notify_all();
  }
  std::mutex Mutex;
  std::condition_variable Changed;
};

}  // namespace

TEST(ReceivingThreadFailure, PayloadTooLargeToAllocateEndsTheConnectionOnce) {
  VCaptureServer server;
  ASSERT_TRUE(server.Start()) << server.LastError();
  // 100 MiB is within the accepted bound, so the client sizes its buffer for
  // it before reading; that allocation fails here.
  server.Push(EncodePacketWith(LumoraQSStream::PacketMagic, {}, 100 * 1024 * 1024));
  auto counter = std::make_shared<VCounter>();
  {
    VLumoraQSStreamClient client(counter);
    FailLargeAllocations = true;
    client.Connect("127.0.0.1", server.Port());
    EXPECT_TRUE(counter->WaitFor(counter->Disconnected, 1));
    FailLargeAllocations = false;
  }
  EXPECT_EQ(counter->Get(counter->Connected), 1);
  EXPECT_EQ(counter->Get(counter->Dynamics), 0);
  EXPECT_EQ(counter->Get(counter->Disconnected), 1);
}

TEST(ReceivingThreadFailure, AThrowingReceiverDoesNotEndTheConnection) {
  VCaptureServer server;
  ASSERT_TRUE(server.Start()) << server.LastError();
  for (int frame = 1; frame <= 3; ++frame) {
    server.Push(EncodePacket({EncodeStreamInfo(frame), EncodeFrameNumber(frame)}));
  }
  auto counter = std::make_shared<VCounter>();
  counter->ThrowFromStatic = true;
  {
    VLumoraQSStreamClient client(counter);
    client.Connect("127.0.0.1", server.Port());
    // The dynamic objects of each packet still arrive after the static
    // callback of the same packet threw.
    EXPECT_TRUE(counter->WaitFor(counter->Dynamics, 3));
    EXPECT_EQ(counter->Get(counter->Disconnected), 0);
    // Each exception is counted, and the first is named.
    EXPECT_EQ(client.FailedCallbacks(), 3u);
    EXPECT_NE(client.DescribeEnd().find("3 callbacks threw, the first: receiver failed"), std::string::npos)
        << client.DescribeEnd();
  }
  EXPECT_EQ(counter->Get(counter->Disconnected), 1);
}
