#include "streamio/socket_reader_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#ifndef _WIN32
#include <poll.h>
#endif

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

namespace LumoraQSStreamIO {

VQSStreamReaderWriter::VQSStreamReaderWriter(std::shared_ptr<Socket> socket)
    : SocketShare(std::move(socket)), Ahead(ReadAheadBytes) {
  boost::system::error_code error;
  SocketShare->set_option(boost::asio::socket_base::linger(true, LingerSeconds), error);
  if (error) throw boost::system::system_error(error);
}

VQSStreamReaderWriter::~VQSStreamReaderWriter() = default;

bool VQSStreamReaderWriter::Read(void* destination, std::size_t count) {
  auto* out = static_cast<uint8_t*>(destination);
  const std::size_t buffered = std::min(count, AheadEnd - AheadBegin);
  if (buffered > 0) {
    std::memcpy(out, Ahead.data() + AheadBegin, buffered);
    AheadBegin += buffered;
    out += buffered;
    count -= buffered;
  }
  boost::system::error_code error;
  // A large remainder goes straight into the destination, each receive
  // taking all the socket holds of it (a composed read would stop every
  // receive at 64 KiB, and a large frame would cost a system call for each).
  while (count >= ReadAheadBytes && !error) {
    const std::size_t got = SocketShare->read_some(boost::asio::buffer(out, count), error);
    out += got;
    count -= got;
  }
  while (count > 0 && !error) {
    const std::size_t got = SocketShare->read_some(boost::asio::buffer(Ahead.data(), Ahead.size()), error);
    const std::size_t used = std::min(got, count);
    if (used > 0) std::memcpy(out, Ahead.data(), used);
    out += used;
    count -= used;
    AheadBegin = used;
    AheadEnd = got;
  }
  SetSourceClosed(error == boost::asio::error::eof);
  return !error && count == 0;
}

bool VQSStreamReaderWriter::Write(const void* source, std::size_t count) {
  boost::system::error_code error;
  const std::size_t sent =
      boost::asio::write(*SocketShare, boost::asio::buffer(source, count), error);
  return !error && sent == count;
}

bool VQSStreamReaderWriter::WaitReadable(std::chrono::milliseconds timeout) {
  if (AheadEnd > AheadBegin) return true;
  const int milliseconds = static_cast<int>(
      std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, std::numeric_limits<int>::max()));
#ifdef _WIN32
  WSAPOLLFD entry{SocketShare->native_handle(), POLLRDNORM, 0};
  const int ready = WSAPoll(&entry, 1, milliseconds);
#else
  pollfd entry{SocketShare->native_handle(), POLLIN, 0};
  const int ready = ::poll(&entry, 1, milliseconds);
#endif
  // A failed wait (interrupted, or the socket closed) reports something to
  // read: the read that follows finds out what.
  return ready != 0;
}

}  // namespace LumoraQSStreamIO
