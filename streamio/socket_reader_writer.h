// VQSStreamReaderWriter: the reader and writer bound to one connected TCP
// socket, used by the receiving thread of one connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

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
  // including the peer closing the connection. A receive takes whatever the
  // socket holds, up to ReadAheadBytes, and later reads are served from it
  // first: a packet's header and a small body cost one system call.
  bool Read(void* destination, std::size_t count) override;
  // Blocks until all `count` bytes were sent; false on any error.
  bool Write(const void* source, std::size_t count) override;

  // Waits at most `timeout` for something to read. True as soon as bytes
  // are received ahead or the socket is readable, has been shut down or has
  // failed (the next Read tells which); false when the time ran out with
  // nothing to read.
  [[nodiscard]] bool WaitReadable(std::chrono::milliseconds timeout);

 private:
  std::shared_ptr<Socket> SocketShare;
  // Bytes received and not yet handed out: Ahead[AheadBegin, AheadEnd).
  std::vector<uint8_t> Ahead;
  std::size_t AheadBegin = 0;
  std::size_t AheadEnd = 0;
};

// Linger time set on every connection's socket, in seconds.
constexpr int LingerSeconds = 10;

// Most bytes one receive takes into the reader's own buffer. A read that
// still needs this many bytes or more receives them straight into its
// destination, so a large body is copied once.
constexpr std::size_t ReadAheadBytes = 16 * 1024;

}  // namespace LumoraQSStreamIO
