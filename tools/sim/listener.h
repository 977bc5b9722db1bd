// Opening a listening socket for the simulator and the test peer.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace LumoraQSSim {

// Opens `acceptor` on `address`:`port` (port 0: an ephemeral port), with
// address reuse, and starts listening. With `loopbackOnly`, any other
// address is refused. On success `bound` holds the port actually bound; on
// failure returns false with a message in `error`.
bool ListenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& address, uint16_t port,
              bool loopbackOnly, uint16_t& bound, std::string& error);

}  // namespace LumoraQSSim
