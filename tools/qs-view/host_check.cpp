#include "tools/qs-view/host_check.h"

#include <algorithm>
#include <cctype>

namespace QSView {

namespace {

// A Host field (or the authority of an origin) taken apart. The port is 0
// when none is given.
struct VAuthority {
  std::string Name;  // lower case, an IPv6 address without its brackets
  bool Bracketed = false;
  unsigned Port = 0;
};

std::string Lower(boost::string_view text) {
  std::string lower(text.begin(), text.end());
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool HostCharacter(unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':'; }

bool SplitAuthority(boost::string_view text, VAuthority& authority) {
  boost::string_view name, rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == boost::string_view::npos) return false;
    name = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    authority.Bracketed = true;
  } else {
    const std::size_t colon = text.find(':');
    name = text.substr(0, colon);
    rest = colon == boost::string_view::npos ? boost::string_view() : text.substr(colon);
    if (name.find(':') != boost::string_view::npos) return false;
  }
  if (name.empty() || name.size() > MostHostNameBytes ||
      !std::all_of(name.begin(), name.end(), [](char c) { return HostCharacter(static_cast<unsigned char>(c)); })) {
    return false;
  }
  authority.Name = Lower(name);
  authority.Port = 0;
  if (rest.empty()) return true;
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
  for (const char c : rest.substr(1)) {
    if (c < '0' || c > '9') return false;
    authority.Port = authority.Port * 10 + static_cast<unsigned>(c - '0');
  }
  return authority.Port <= 65535;
}

// An IPv4 client of a socket listening on IPv6 arrives at an IPv4-mapped
// address: compare it as the IPv4 address it is.
boost::asio::ip::address Unmapped(const boost::asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

bool SameAddress(const boost::asio::ip::address& a, const boost::asio::ip::address& b) {
  if (a.is_v6() && b.is_v6()) return a.to_v6().to_bytes() == b.to_v6().to_bytes();  // scope left out
  return a == b;
}

// An allowed name taken apart; an IPv6 address may come without brackets.
bool SplitName(const std::string& name, VAuthority& authority) {
  const bool bare6 = name.find(':') != std::string::npos && name.front() != '[';
  return SplitAuthority(bare6 ? "[" + name + "]" : name, authority) && authority.Port == 0;
}

}  // namespace

bool IsHostName(const std::string& name) {
  VAuthority authority;
  return SplitName(name, authority);
}

bool VHostCheck::Allow(const std::string& name) {
  VAuthority authority;
  if (Names.size() >= MostAllowedHosts || !SplitName(name, authority)) return false;
  Names.push_back(authority.Name);
  return true;
}

bool VHostCheck::HostAllowed(boost::string_view host, const boost::asio::ip::address& local) const {
  VAuthority authority;
  if (!SplitAuthority(host, authority)) return false;
  if (std::find(Names.begin(), Names.end(), authority.Name) != Names.end()) return true;
  const boost::asio::ip::address here = Unmapped(local);
  if (!authority.Bracketed && authority.Name == "localhost") return here.is_loopback();
  boost::system::error_code ec;
  const boost::asio::ip::address named = boost::asio::ip::make_address(authority.Name, ec);
  // An IPv6 address only in brackets, an IPv4 one only without.
  if (ec || named.is_v6() != authority.Bracketed) return false;
  return SameAddress(Unmapped(named), here);
}

bool VHostCheck::SameOrigin(boost::string_view origin, boost::string_view host) {
  constexpr boost::string_view Scheme = "http://";
  if (origin.size() <= Scheme.size() || Lower(origin.substr(0, Scheme.size())) != Scheme) return false;
  VAuthority page, served;
  if (!SplitAuthority(origin.substr(Scheme.size()), page) || !SplitAuthority(host, served)) return false;
  constexpr unsigned HttpPort = 80;
  return page.Name == served.Name && (page.Port ? page.Port : HttpPort) == (served.Port ? served.Port : HttpPort);
}

}  // namespace QSView
