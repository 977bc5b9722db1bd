// VQSStreamReaderWriter: the reader and writer bound to one connected TCP
// socket, used by the receiving thread of one connection.
#pragma once

#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include "streamio/reader.h"
#include "streamio/writer.h"

namespace LumoraQSStreamIO {

class VQSStreamReaderWriter : public VReader, public VWriter {
 public:
  using Socket = boost::asio::ip::tcp::socket;

  // Shares the socket and turns on lingering close with a 10-second linger
  // time. Throws boost::system::system_error when the option cannot be set
  // (for example because the socket was already closed).
  explicit VQSStreamReaderWriter(std::shared_ptr<Socket> socket);
  ~VQSStreamReaderWriter() override;

  // Blocks until exactly `count` bytes arrived; false on any error,
  // including the peer closing the connection.
  bool Read(void* destination, std::size_t count) override;
  // Blocks until all `count` bytes were sent; false on any error.
  bool Write(const void* source, std::size_t count) override;

 private:
  std::shared_ptr<Socket> SocketShare;
};

// Linger time set on every connection's socket, in seconds.
constexpr int LingerSeconds = 10;

}  // namespace LumoraQSStreamIO
