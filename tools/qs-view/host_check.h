// Which names a request may give for this server (its Host field) and which
// page may ask it (its Origin field). A web page of another site can make its
// own name resolve to this machine (DNS rebinding) and then read the stream
// as if it were its own; its requests still carry that name, so a server that
// answers only to its own address, to localhost on loopback and to the names
// it was told to allow is out of the page's reach.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/utility/string_view.hpp>

namespace QSView {

// Names that may be allowed beside the server's own address.
constexpr std::size_t MostAllowedHosts = 32;
// The longest such name (the longest DNS name).
constexpr std::size_t MostHostNameBytes = 253;

// Whether `name` can be a host name or an address (an IPv6 one with or
// without brackets) to allow: not empty, not too long, no port, nothing but
// letters, digits and . - _ : [ ].
[[nodiscard]] bool IsHostName(const std::string& name);

class VHostCheck {
 public:
  // Allows `name` (see IsHostName; any case) in Host. False, allowing
  // nothing, for a name that is not one, or once MostAllowedHosts are
  // allowed.
  [[nodiscard]] bool Allow(const std::string& name);

  // Whether `host`, a Host field (a name or an address with or without a
  // port, an IPv6 address in brackets), names this server for a connection
  // that arrived at the address `local`: that address itself, localhost when
  // it is a loopback address, or an allowed name. The port is not compared,
  // so that a forwarded port (ssh -L) works.
  [[nodiscard]] bool HostAllowed(boost::string_view host, const boost::asio::ip::address& local) const;

  // Whether `origin`, an Origin field, is the origin of the page this server
  // serves under the Host field `host` (already allowed): http:// and the
  // same name and port. "null" and any other origin are foreign.
  [[nodiscard]] static bool SameOrigin(boost::string_view origin, boost::string_view host);

 private:
  std::vector<std::string> Names;  // lower case, without brackets
};

}  // namespace QSView
