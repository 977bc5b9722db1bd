// A connected TCP pair on 127.0.0.1, for tests and benchmarks that need a
// real socket under the stream reader.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace QSTesting {

// `Client` is shared, as the stream client holds its socket; `Server` is the
// peer's end. Connect returns false when no pair could be made.
struct VLoopbackPair {
  boost::asio::io_context Context;
  std::shared_ptr<boost::asio::ip::tcp::socket> Client = std::make_shared<boost::asio::ip::tcp::socket>(Context);
  boost::asio::ip::tcp::socket Server{Context};

  [[nodiscard]] bool Connect();
  // Ends both directions at the OS level; wakes any blocked read.
  void ShutDown();
};

}  // namespace QSTesting
