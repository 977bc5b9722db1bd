// VQSStreamReaderWriter over a real loopback connection. Every blocking step
// is guarded by a watchdog that shuts the sockets down after a few seconds,
// so a fault shows as a failure, never as a hang.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "serve/wire_encoder.h"
#include "streamio/reader.h"
#include "streamio/socket_reader_writer.h"
#include "streamio/writer.h"
#include "testing/loopback_pair.h"
#include "testing/wire_bytes.h"

using LumoraQSStreamIO::VQSStreamReaderWriter;
using QSTesting::VLoopbackPair;
using Socket = boost::asio::ip::tcp::socket;

namespace {

// Runs `onTimeout` if not disarmed within `limit`; its thread is joined on
// destruction.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, std::function<void()> onTimeout)
      : Thread([this, limit, onTimeout] {
          std::unique_lock<std::mutex> lock(Mutex);
          if (!Wake.wait_for(lock, limit, [this] { return Disarmed; })) {
            Fired = true;
            onTimeout();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Disarmed = true;
    }
    Wake.notify_all();
    Thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  bool HasFired() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Fired;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Wake;
  bool Disarmed = false;
  bool Fired = false;
  std::thread Thread;
};

constexpr std::chrono::seconds Limit{10};

TEST(SocketReaderWriter, ConstructionTurnsOnTenSecondLinger) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  boost::asio::socket_base::linger before;
  pair.Client->get_option(before);
  ASSERT_FALSE(before.enabled()) << "a fresh socket should not linger";

  VQSStreamReaderWriter stream(pair.Client);
  boost::asio::socket_base::linger after;
  pair.Client->get_option(after);
  EXPECT_TRUE(after.enabled());
  EXPECT_EQ(after.timeout(), 10);
  EXPECT_EQ(LumoraQSStreamIO::LingerSeconds, 10);
}

TEST(SocketReaderWriter, ConstructionOnAClosedSocketThrowsSystemError) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  pair.Client->close();
  try {
    VQSStreamReaderWriter stream(pair.Client);
    FAIL() << "construction on a closed socket did not throw";
  } catch (const boost::system::system_error& error) {
    EXPECT_TRUE(error.code()) << "the error carries no code";
  }

  boost::asio::io_context context;
  auto neverOpened = std::make_shared<Socket>(context);
  EXPECT_THROW(VQSStreamReaderWriter{neverOpened}, boost::system::system_error);
}

TEST(SocketReaderWriter, ReadsExactCountsAcrossSeveralWrites) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });

  std::vector<uint8_t> sent(3000);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 31 + 7);

  bool peerOk = true;
  std::thread peer([&] {
    // Pieces that do not line up with the reads below, with pauses so that
    // a read has to wait for several of them.
    const std::size_t pieces[] = {1, 2, 5, 100, 892, 1000, 1000};
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
      boost::system::error_code error;
      boost::asio::write(pair.Server, boost::asio::buffer(sent.data() + offset, piece), error);
      if (error) {
        peerOk = false;
        return;
      }
      offset += piece;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  std::vector<uint8_t> received(sent.size());
  EXPECT_TRUE(stream.Read(received.data(), 4));
  EXPECT_TRUE(stream.Read(received.data() + 4, 1500));
  EXPECT_TRUE(stream.Read(received.data() + 1504, 1496));
  peer.join();
  EXPECT_TRUE(peerOk);
  EXPECT_FALSE(watchdog.HasFired());
  EXPECT_EQ(received, sent);
}

// Reads of sizes around the read-ahead buffer's, and one of several times
// 64 KiB, hand out each byte once and in order, and the peer's close only
// after every byte sent before it.
TEST(SocketReaderWriter, ReadAheadHandsOutEveryByteOnceThenTheClose) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });
  constexpr std::size_t Ahead = LumoraQSStreamIO::ReadAheadBytes;
  const std::size_t counts[] = {8, 100, 8, Ahead + 50, 8, Ahead - 1, 1, Ahead, 5 * 65536 + 7, 3};
  std::vector<uint8_t> sent(std::accumulate(std::begin(counts), std::end(counts), std::size_t{0}));
  std::vector<uint8_t> received(sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 131 + i / 251);
  std::thread peer([&] {
    boost::system::error_code error;
    boost::asio::write(pair.Server, boost::asio::buffer(sent), error);
    pair.Server.close(error);
  });
  std::size_t offset = 0;
  for (std::size_t count : counts) {
    EXPECT_TRUE(stream.Read(received.data() + offset, count)) << "at byte " << offset;
    offset += count;
  }
  uint8_t one = 0;
  EXPECT_FALSE(stream.Read(&one, 1));
  EXPECT_TRUE(stream.SourceClosed());
  peer.join();
  EXPECT_FALSE(watchdog.HasFired());
  EXPECT_EQ(received, sent);
}

// Waiting for the next packet: bytes received ahead count as much as bytes
// in the socket, and a shutdown from another thread ends the wait.
TEST(SocketReaderWriter, WaitReadableSeesBytesAheadBytesArrivedAndTheShutdown) {
  using std::chrono::milliseconds;
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  EXPECT_FALSE(stream.WaitReadable(milliseconds(5)));
  const uint8_t sent[] = {1, 2};
  ASSERT_EQ(boost::asio::write(pair.Server, boost::asio::buffer(sent)), 2u);
  EXPECT_TRUE(stream.WaitReadable(milliseconds(10000)));
  uint8_t one = 0;
  ASSERT_TRUE(stream.Read(&one, 1));
  EXPECT_TRUE(stream.WaitReadable(milliseconds(0)));  // the second byte, received ahead
  ASSERT_TRUE(stream.Read(&one, 1));
  EXPECT_EQ(one, 2);
  EXPECT_FALSE(stream.WaitReadable(milliseconds(0)));
  std::thread stopper([&pair] { pair.ShutDown(); });
  EXPECT_TRUE(stream.WaitReadable(milliseconds(30000)));
  stopper.join();
}

TEST(SocketReaderWriter, FillAndSectionsWorkOverTheSocket) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });

  const std::vector<uint8_t> packet =
      LumoraQSServe::EncodePacket({LumoraQSServe::EncodeObject(5, LumoraQSServe::VWireBuffer().Int32(321).Bytes())});
  boost::asio::write(pair.Server, boost::asio::buffer(packet));
  {
    LumoraQSStreamIO::VReaderSection section(stream, LumoraQSStreamIO::VReaderSection::EOpen::Refill);
    EXPECT_EQ(section.LeadingWord(), 0x1A2B3C4D);
    EXPECT_EQ(section.End(), 12);
    LumoraQSStreamIO::VReaderSection object(stream, LumoraQSStreamIO::VReaderSection::EOpen::InPlace);
    EXPECT_EQ(object.LeadingWord(), 5);
    int32_t value = 0;
    EXPECT_TRUE(stream.ReadInt32(value));
    EXPECT_EQ(value, 321);
  }
  EXPECT_FALSE(watchdog.HasFired());
}

TEST(SocketReaderWriter, PeerCloseMakesReadFalse) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });

  std::thread peer([&pair] {
    const uint8_t three[3] = {1, 2, 3};
    boost::system::error_code error;
    boost::asio::write(pair.Server, boost::asio::buffer(three), error);
    // A read blocked in the socket leaves no trace to wait for: this pause
    // lets the read below start waiting for a fourth byte, and the close
    // must end it whether or not it has begun.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pair.Server.close(error);
  });
  uint8_t four[4] = {};
  EXPECT_FALSE(stream.Read(four, 4));
  peer.join();
  EXPECT_FALSE(watchdog.HasFired()) << "the read only ended because the watchdog fired";

  uint8_t one = 0;
  EXPECT_FALSE(stream.Read(&one, 1));  // the connection stays ended
  EXPECT_FALSE(stream.Fill(8));
}

TEST(SocketReaderWriter, WriteAndFlushSendTheBytes) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });

  const uint8_t raw[5] = {9, 8, 7, 6, 5};
  EXPECT_TRUE(stream.Write(raw, sizeof raw));
  {
    LumoraQSStreamIO::VWriterSection section(stream, 0x1A2B3C4D);
    stream.WriteByte(0x42);
  }
  EXPECT_TRUE(stream.Flush());
  EXPECT_FALSE(stream.Flush());

  std::vector<uint8_t> received(5 + 9);
  boost::system::error_code error;
  boost::asio::read(pair.Server, boost::asio::buffer(received), error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_EQ(QSTesting::ToHex(received), "09080706054d3c2b1a0100000042");
  EXPECT_FALSE(watchdog.HasFired());
}

TEST(SocketReaderWriter, WriteAfterThePeerIsGoneFails) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  VQSStreamReaderWriter stream(pair.Client);
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });
  ::shutdown(pair.Client->native_handle(), SHUT_WR);  // no further sends possible
  const std::vector<uint8_t> block(64, 1);
  EXPECT_FALSE(stream.Write(block.data(), block.size()));
  EXPECT_FALSE(watchdog.HasFired());
}

TEST(SocketReaderWriter, DestructionLeavesTheSocketOpen) {
  VLoopbackPair pair;
  ASSERT_TRUE(pair.Connect());
  { VQSStreamReaderWriter stream(pair.Client); }
  EXPECT_EQ(pair.Client.use_count(), 1);  // the share was released
  ASSERT_TRUE(pair.Client->is_open());
  Watchdog watchdog(Limit, [&pair] { pair.ShutDown(); });
  const uint8_t byte = 0x5A;
  boost::system::error_code error;
  boost::asio::write(*pair.Client, boost::asio::buffer(&byte, 1), error);
  EXPECT_FALSE(error);
  uint8_t got = 0;
  boost::asio::read(pair.Server, boost::asio::buffer(&got, 1), error);
  EXPECT_FALSE(error);
  EXPECT_EQ(got, 0x5A);
}

}  // namespace
