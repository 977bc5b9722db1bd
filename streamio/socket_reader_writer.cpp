#include "streamio/socket_reader_writer.h"

#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

namespace LumoraQSStreamIO {

VQSStreamReaderWriter::VQSStreamReaderWriter(std::shared_ptr<Socket> socket)
    : SocketShare(std::move(socket)) {
  boost::system::error_code error;
  SocketShare->set_option(boost::asio::socket_base::linger(true, LingerSeconds), error);
  if (error) throw boost::system::system_error(error);
}

VQSStreamReaderWriter::~VQSStreamReaderWriter() = default;

bool VQSStreamReaderWriter::Read(void* destination, std::size_t count) {
  boost::system::error_code error;
  const std::size_t got =
      boost::asio::read(*SocketShare, boost::asio::buffer(destination, count), error);
  SetSourceClosed(error == boost::asio::error::eof);
  return !error && got == count;
}

bool VQSStreamReaderWriter::Write(const void* source, std::size_t count) {
  boost::system::error_code error;
  const std::size_t sent =
      boost::asio::write(*SocketShare, boost::asio::buffer(source, count), error);
  return !error && sent == count;
}

}  // namespace LumoraQSStreamIO
