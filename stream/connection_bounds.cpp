#include "stream/connection_bounds.h"

#include <boost/asio/error.hpp>
#include <boost/asio/socket_base.hpp>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>  // tcp_keepalive, SIO_KEEPALIVE_VALS
#include "stream/windows_tcp_options.h"
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

using boost::asio::ip::tcp;

void ConnectWithin(boost::asio::io_context& io, tcp::socket& socket, const tcp::endpoint& endpoint,
                   std::chrono::steady_clock::duration timeout, boost::system::error_code& error) {
  bool done = false;
  socket.async_connect(endpoint, [&](const boost::system::error_code& result) {
    error = result;
    done = true;
  });
  io.restart();
  io.run_for(timeout);
  if (!done) {
    // Still pending: closing cancels the attempt, and running the context
    // once more lets the cancelled handler finish before its captures go.
    boost::system::error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();
    error = boost::asio::error::timed_out;
    return;
  }
  // The asynchronous connect left the descriptor non-blocking; the receiving
  // thread's reads and writes are plain blocking calls.
  if (!error) socket.native_non_blocking(false, error);
}

namespace {

template <class Value>
bool SetRawOption(tcp::socket& socket, int level, int name, Value value) {
  return ::setsockopt(socket.native_handle(), level, name, reinterpret_cast<const char*>(&value),
                      static_cast<int>(sizeof value)) == 0;
}

#if defined(_WIN32)
// A TCP option this system does not know (Windows before 10 1703, Wine)
// leaves the system's own value in force; only an option it knows and
// rejects counts as refused.
bool SetTcpOptionIfKnown(tcp::socket& socket, int name, DWORD value) {
  return SetRawOption(socket, IPPROTO_TCP, name, value) || ::WSAGetLastError() == WSAENOPROTOOPT;
}
#endif

}  // namespace

bool SetLivenessOptions(tcp::socket& socket) {
  using std::chrono::milliseconds;
  const auto ms = [](auto d) { return std::chrono::duration_cast<milliseconds>(d).count(); };
  bool all = true;
#if defined(_WIN32)
  // Keep-alive with its idle time and interval, in milliseconds; known to
  // every Windows version a host may run.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(ms(KeepAliveIdle));
  values.keepaliveinterval = static_cast<ULONG>(ms(KeepAliveInterval));
  DWORD returned = 0;
  all &= ::WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                    &returned, nullptr, nullptr) == 0;
  // The probe count (Windows 10 1703 and later; before, the system's 10
  // probes bound the loss at 12 s) and the retransmission bound in seconds.
  // Without the latter, data left unacknowledged by a vanished peer is
  // given up on only after the system's own retransmissions.
  all &= SetTcpOptionIfKnown(socket, TCP_KEEPCNT, static_cast<DWORD>(KeepAliveProbes));
  all &= SetTcpOptionIfKnown(socket, TCP_MAXRT,
                             static_cast<DWORD>(std::chrono::duration_cast<std::chrono::seconds>(
                                                    UnacknowledgedTimeout)
                                                    .count()));
#else
  boost::system::error_code error;
  socket.set_option(boost::asio::socket_base::keep_alive(true), error);
  all &= !error;
  all &= SetRawOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(KeepAliveIdle.count()));
  all &= SetRawOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(KeepAliveInterval.count()));
  all &= SetRawOption(socket, IPPROTO_TCP, TCP_KEEPCNT, KeepAliveProbes);
#if defined(TCP_USER_TIMEOUT)
  all &= SetRawOption(socket, IPPROTO_TCP, TCP_USER_TIMEOUT,
                      static_cast<unsigned int>(ms(UnacknowledgedTimeout)));
#endif
#endif
  return all;
}
