#include "tools/sim/listener.h"

#include <boost/asio.hpp>

namespace LumoraQSSim {

bool ListenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& address, uint16_t port,
              bool loopbackOnly, uint16_t& bound, std::string& error) {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  boost::system::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec) {
    error = "bad address " + address + ": " + ec.message();
    return false;
  }
  if (loopbackOnly && !ip.is_loopback()) {
    // Test traffic stays on this machine.
    error = "not a loopback address: " + address;
    return false;
  }
  const tcp::endpoint endpoint(ip, port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  tcp::endpoint local;
  if (!ec) local = acceptor.local_endpoint(ec);
  if (ec) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
    return false;
  }
  bound = local.port();
  return true;
}

}  // namespace LumoraQSSim
