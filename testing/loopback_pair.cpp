#include "testing/loopback_pair.h"

#include <sys/socket.h>

namespace QSTesting {

bool VLoopbackPair::Connect() {
  boost::system::error_code error;
  boost::asio::ip::tcp::acceptor acceptor(Context);
  const boost::asio::ip::tcp::endpoint any(boost::asio::ip::make_address("127.0.0.1"), 0);
  acceptor.open(any.protocol(), error);
  if (!error) acceptor.bind(any, error);
  if (!error) acceptor.listen(1, error);
  if (error) return false;
  const auto endpoint = acceptor.local_endpoint(error);
  if (error || endpoint.port() == 0) return false;
  // A listening socket completes the handshake without accept(), so the
  // blocking connect returns before the accept below.
  Client->connect(endpoint, error);
  if (error) return false;
  acceptor.accept(Server, error);
  return !error;
}

void VLoopbackPair::ShutDown() {
  ::shutdown(Client->native_handle(), SHUT_RDWR);
  ::shutdown(Server.native_handle(), SHUT_RDWR);
}

}  // namespace QSTesting
