// The connection bounds on a real loopback socket: the liveness options are
// accepted and read back with the values the library asks for, as far as the
// system lets them be read, and a refused connect is reported at once with
// its own error rather than after the connect bound.
#include "stream/connection_bounds.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/asio/socket_base.hpp>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include "stream/windows_tcp_options.h"
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

using boost::asio::ip::tcp;

namespace {

#if defined(_WIN32)
using OptionValue = DWORD;
using OptionLength = int;
#else
using OptionValue = int;
using OptionLength = socklen_t;
#endif

// The option's value, or -1 when it cannot be read.
long long ReadOption(tcp::socket& socket, int level, int name) {
  OptionValue value = 0;
  OptionLength length = sizeof value;
  if (::getsockopt(socket.native_handle(), level, name, reinterpret_cast<char*>(&value), &length) != 0) {
    return -1;
  }
  return static_cast<long long>(value);
}

TEST(ConnectionBounds, LivenessOptionsAreSetOnAConnectedSocket) {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  tcp::socket client(io);
  boost::system::error_code error;
  ConnectWithin(io, client, acceptor.local_endpoint(), ConnectTimeout, error);
  ASSERT_FALSE(error) << error.message();
  tcp::socket server = acceptor.accept();

  ASSERT_TRUE(SetLivenessOptions(client));
  boost::asio::socket_base::keep_alive keep_alive;
  client.get_option(keep_alive);
  EXPECT_TRUE(keep_alive.value());
#if defined(_WIN32)
  // Windows 10 1709 and later read these back in seconds; older systems and
  // Wine report them unknown, and nothing else may go wrong.
  for (const auto& [name, expected] :
       {std::pair{TCP_KEEPIDLE, static_cast<long long>(KeepAliveIdle.count())},
        std::pair{TCP_KEEPINTVL, static_cast<long long>(KeepAliveInterval.count())},
        std::pair{TCP_KEEPCNT, static_cast<long long>(KeepAliveProbes)},
        std::pair{TCP_MAXRT, static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                        UnacknowledgedTimeout)
                                                        .count())}}) {
    const long long value = ReadOption(client, IPPROTO_TCP, name);
    if (value == -1) {
      EXPECT_EQ(::WSAGetLastError(), WSAENOPROTOOPT) << "option " << name;
    } else {
      EXPECT_EQ(value, expected) << "option " << name;
    }
  }
#else
  EXPECT_EQ(ReadOption(client, IPPROTO_TCP, TCP_KEEPIDLE), KeepAliveIdle.count());
  EXPECT_EQ(ReadOption(client, IPPROTO_TCP, TCP_KEEPINTVL), KeepAliveInterval.count());
  EXPECT_EQ(ReadOption(client, IPPROTO_TCP, TCP_KEEPCNT), KeepAliveProbes);
  EXPECT_EQ(ReadOption(client, IPPROTO_TCP, TCP_USER_TIMEOUT),
            std::chrono::duration_cast<std::chrono::milliseconds>(UnacknowledgedTimeout).count());
#endif
}

TEST(ConnectionBounds, RefusedConnectReportsItsOwnError) {
  // A bound port that does not listen refuses; keeping it bound keeps the
  // port from being taken by anyone else meanwhile.
  boost::asio::io_context io;
  tcp::socket closed(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  tcp::socket client(io);
  boost::system::error_code error;
  ConnectWithin(io, client, closed.local_endpoint(), ConnectTimeout, error);
  EXPECT_EQ(error, boost::asio::error::connection_refused) << error.message();
}

}  // namespace
