// How long opening a connection may take, and how long a peer that has
// vanished may go unnoticed. Both bounds come from the operating system's own
// TCP machinery; the library runs no timer of its own on a connection.
#pragma once

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

// One endpoint's TCP connect gives up after this long and the next endpoint
// is tried. Without it a host whose machine is off (every SYN dropped) holds
// the caller for the system's SYN retries, about two minutes on Linux. Name
// resolution is not bounded by it: a numeric address resolves at once, a
// host name whose DNS server does not answer takes the resolver's own time.
constexpr std::chrono::seconds ConnectTimeout{5};

// TCP keep-alive on every connection: after KeepAliveIdle without traffic
// the system probes the peer every KeepAliveInterval and gives up after
// KeepAliveProbes unanswered probes. A live peer's kernel answers the probes
// however long its application stays silent, so only a peer that is gone is
// dropped.
constexpr std::chrono::seconds KeepAliveIdle{2};
constexpr std::chrono::seconds KeepAliveInterval{1};
constexpr int KeepAliveProbes = 5;

// Longest time data sent (a request, or a keep-alive probe) may stay
// unacknowledged before the system drops the connection. Covers what
// keep-alive does not: a peer that vanishes while a request is in flight.
constexpr std::chrono::milliseconds UnacknowledgedTimeout{8000};

// What the host can rely on: a peer that stops answering at the TCP level is
// reported lost within this time (keep-alive: idle + probes x interval = 7 s;
// unacknowledged data: 8 s; plus the system's timer granularity).
constexpr std::chrono::seconds PeerLossBound{10};

// Connects `socket` to `endpoint`, opening it for the endpoint's protocol if
// needed, and gives up after `timeout`: the pending attempt is then
// cancelled and the socket closed, and `error` is timed_out. Runs `io` (which
// must have no other work) until the attempt is over. On success the socket
// is left in blocking mode, as a synchronous connect leaves it.
void ConnectWithin(boost::asio::io_context& io, boost::asio::ip::tcp::socket& socket,
                   const boost::asio::ip::tcp::endpoint& endpoint,
                   std::chrono::steady_clock::duration timeout, boost::system::error_code& error);

// Turns on keep-alive with the values above and bounds unacknowledged data
// on a connected socket. Returns false when the system refused one of the
// options; those that were accepted stay set, and the connection is usable
// either way. An option the system does not know at all (older Windows lacks
// the probe count and the retransmission bound) is not a refusal: the
// system's own value stays in force, and the loss of a peer takes longer
// than PeerLossBound.
bool SetLivenessOptions(boost::asio::ip::tcp::socket& socket);
