// The served-connection library on its own: an accept thread that hands
// each connection on, a connection that outlives it, and a stop that
// returns while a handler is still blocked on its connection.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/acceptor.h"
#include "serve/wire_encoder.h"

namespace {

using namespace LumoraQSServe;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;

constexpr auto kWait = 5000ms;  // upper bound of every wait; reached only on failure

// What a handler that hands its connections on keeps of them.
struct VHandedOn {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::unique_ptr<VServedConnection> Connection;
  std::vector<VRecordedRequest> Requests;
  bool ReadEnded = false;
};

TEST(ServedConnection, OutlivesItsAcceptorAndClosesGracefully) {
  VHandedOn kept;
  VAcceptor acceptor;
  std::string error;
  ASSERT_TRUE(acceptor.Open("127.0.0.1", 0, true, error)) << error;
  acceptor.Start([&](std::unique_ptr<VServedConnection> connection) {
    VRequestReading reading;
    reading.OnRequest = [&](VRecordedRequest request) {
      std::lock_guard<std::mutex> lock(kept.Mutex);
      kept.Requests.push_back(std::move(request));
      kept.Changed.notify_all();
      return true;
    };
    reading.OnReadEnd = [&] {
      std::lock_guard<std::mutex> lock(kept.Mutex);
      kept.ReadEnded = true;
      kept.Changed.notify_all();
    };
    connection->StartReading(std::move(reading));
    std::lock_guard<std::mutex> lock(kept.Mutex);
    kept.Connection = std::move(connection);
    kept.Changed.notify_all();
  });

  asio::io_context io;
  tcp::socket client(io);
  client.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), acceptor.Port()));
  asio::write(client, asio::buffer(EncodeRequest(std::set<int32_t>{1, 2}, uint8_t{0})));
  std::unique_lock<std::mutex> lock(kept.Mutex);
  ASSERT_TRUE(kept.Changed.wait_for(lock, kWait, [&] { return kept.Connection && kept.Requests.size() == 1; }));
  EXPECT_EQ(kept.Connection->Number(), 1u);
  EXPECT_TRUE(kept.Requests[0].WellFormed);
  EXPECT_EQ(kept.Requests[0].Types, (std::set<int32_t>{1, 2}));
  lock.unlock();

  // The accept thread ends; the connection it handed on keeps serving.
  acceptor.Stop();
  const VBytes packet = EncodePacket({EncodeFrameNumber(7)});
  ASSERT_TRUE(kept.Connection->Send(packet));
  // The client closes its side once it has read the end of the stream, so
  // the graceful close needs no more than that.
  std::thread closer([&] { kept.Connection->Close(kWait); });
  VBytes received(packet.size());
  asio::read(client, asio::buffer(received));
  EXPECT_EQ(received, packet);
  boost::system::error_code ec;
  uint8_t more = 0;
  asio::read(client, asio::buffer(&more, 1), ec);
  EXPECT_EQ(ec, asio::error::eof);
  client.close();
  closer.join();
  EXPECT_TRUE(kept.Connection->ReadEnded());
  lock.lock();
  EXPECT_TRUE(kept.ReadEnded);
}

TEST(ServedConnection, CutEndsABlockedHandlerSoThatStopReturns) {
  VAcceptor acceptor;
  std::string error;
  ASSERT_TRUE(acceptor.Open("127.0.0.1", 0, true, error)) << error;
  std::mutex mutex;
  std::condition_variable changed;
  VServedConnection* serving = nullptr;
  bool handlerDone = false;
  // The handler serves on the accept thread, waiting for a request that
  // never comes: only a cut ends it.
  acceptor.Start([&](std::unique_ptr<VServedConnection> connection) {
    VRequestReading reading;
    connection->StartReading(std::move(reading));
    {
      std::lock_guard<std::mutex> lock(mutex);
      serving = connection.get();
    }
    changed.notify_all();
    connection->Close(std::chrono::hours(1));
    std::lock_guard<std::mutex> lock(mutex);
    serving = nullptr;
    handlerDone = true;
  });

  asio::io_context io;
  tcp::socket client(io);
  client.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), acceptor.Port()));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return serving != nullptr; }));
    acceptor.Wake();
    serving->Cut();
  }
  acceptor.Stop();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_TRUE(handlerDone);
}

}  // namespace
