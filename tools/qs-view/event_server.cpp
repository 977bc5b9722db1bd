#include "tools/qs-view/event_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include "tools/qs-view/host_check.h"

namespace QSView {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Message = std::shared_ptr<const std::string>;
using Clock = std::chrono::steady_clock;

namespace {

// Pause before accepting again after accepting failed (out of file
// descriptors, say), so that such a failure does not spin.
constexpr std::chrono::milliseconds AcceptRetryPause{100};
// Bytes read and dropped at a time from a viewer's connection.
constexpr std::size_t DiscardBytes = 512;

// The page may run its own inline script and style and talk to this server;
// nothing else.
constexpr char PagePolicy[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'";

bool IsHttpError(const beast::error_code& ec) {
  static const beast::error_code sample = http::error::bad_method;
  return ec.category() == sample.category();
}

// One SSE event per line of `text`.
std::string EventText(const std::string& text) {
  std::string event;
  event.reserve(text.size() + 16);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    event += "data: ";
    event.append(text, start, end == std::string::npos ? std::string::npos : end - start);
    event += '\n';
    if (end == std::string::npos) break;
    start = end + 1;
  }
  event += '\n';
  return event;
}

// The peer a connection's share is counted for: its IPv4 address, or the
// /64 network of its IPv6 address (what one site is given, so that one
// client does not get a share for each of its addresses).
asio::ip::address PeerOf(const asio::ip::address& address) {
  if (!address.is_v6() || address.to_v6().is_v4_mapped()) return address;
  asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes);
}

}  // namespace

class VSession;

class VEventServer::VImpl {
 public:
  VImpl(std::string page, VServerLimits limits)
      : Page(std::move(page)),
        Limits(limits),
        RetryLine(std::make_shared<const std::string>("retry: " + std::to_string(limits.ViewerRetry.count()) +
                                                      "\n\n")),
        KeepAliveLine(std::make_shared<const std::string>(": keep-alive\n\n")) {}

  // Any thread.
  void Publish(const std::string& text) {
    Message message = std::make_shared<const std::string>(EventText(text));
    bool post = false;
    {
      std::lock_guard<std::mutex> lock(LatestMutex);
      Latest = std::move(message);
      ++LatestNumber;
      post = !DeliveryPosted;
      DeliveryPosted = true;
    }
    // At most one delivery waits in the I/O queue, however fast messages come.
    if (post) asio::post(Ioc, [this] { Deliver(); });
  }

  Message LatestMessage(uint64_t& number) {
    std::lock_guard<std::mutex> lock(LatestMutex);
    number = LatestNumber;
    return Latest;
  }

  // I/O thread.
  void Deliver();
  void Accept();
  void Admit(tcp::socket socket);
  void CloseAll();

  const std::string Page;
  const VServerLimits Limits;
  const Message RetryLine;
  const Message KeepAliveLine;
  VHostCheck Hosts;  // filled before Start, read by the I/O thread only

  std::mutex LatestMutex;
  Message Latest;             // guarded by LatestMutex
  uint64_t LatestNumber = 0;  // guarded by LatestMutex
  bool DeliveryPosted = false;  // guarded by LatestMutex

  // I/O thread only: the open connections, and whether Stop has begun.
  std::unordered_set<VSession*> Sessions;
  bool Stopping = false;
  std::atomic<std::size_t> ViewerCount{0};

  asio::io_context Ioc;
  tcp::acceptor Acceptor{Ioc};
  asio::steady_timer AcceptRetry{Ioc};
  std::thread Thread;
};

// One client connection: requests answered one after the other until it
// asks for the event stream, which it then keeps.
class VSession : public std::enable_shared_from_this<VSession> {
 public:
  VSession(VEventServer::VImpl& server, tcp::socket socket, asio::ip::address peer)
      : Server(server),
        Peer(std::move(peer)),
        Stream(std::move(socket)),
        Buffer(server.Limits.MaxHeaderBytes),
        WriteDeadline(Stream.get_executor()),
        KeepAlive(Stream.get_executor()) {
    beast::error_code ignored;
    Local = Stream.socket().local_endpoint(ignored).address();
    Server.Sessions.insert(this);
  }

  ~VSession() { Forget(); }

  void Start() { ReadRequest(); }

  // Sends the newest message (or a waiting control line) when no write is
  // in flight.
  void Pump();

  void Close() {
    if (Closed) return;
    Closed = true;
    WriteDeadline.cancel();
    KeepAlive.cancel();
    beast::error_code ignored;
    Stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    Stream.close();
    Forget();
  }

  // The peer (see PeerOf), whether it is an event stream, and when its
  // current request began (when it was accepted, or its last response was
  // sent): what the connection caps go by.
  const asio::ip::address& PeerAddress() const { return Peer; }
  bool Viewer() const { return IsViewer; }
  Clock::time_point RequestBegan() const { return Since; }

 private:
  using Response = http::response<http::string_body>;

  void Forget() {
    if (Registered) {
      Registered = false;
      Server.Sessions.erase(this);
      if (IsViewer) --Server.ViewerCount;
    }
  }

  void ReadRequest();
  void OnRequest(const beast::error_code& ec);
  std::shared_ptr<Response> MakeResponse(http::status status, const char* type, std::string body) const;
  void Send(std::shared_ptr<Response> response, bool keepAlive);
  void Refuse(http::status status, const char* text);
  // Whether the request names this server and comes from its own page;
  // answers it when not.
  [[nodiscard]] bool FromOwnPage(const http::request<http::empty_body>& request);
  void LingerThenClose();
  void DrainThenClose();
  void BeginEvents();
  void WatchForClose();
  void RestartKeepAlive();

  VEventServer::VImpl& Server;
  const asio::ip::address Peer;
  beast::tcp_stream Stream;
  asio::ip::address Local;  // where the connection arrived
  Clock::time_point Since = Clock::now();
  beast::flat_buffer Buffer;
  std::optional<http::request_parser<http::empty_body>> Parser;
  bool Registered = true;
  bool Closed = false;
  bool IsViewer = false;

  // Event stream state.
  http::response<http::empty_body> EventHeader;
  std::optional<http::response_serializer<http::empty_body>> EventHeaderWriter;
  bool Greeted = false;
  bool Writing = false;
  bool KeepAliveDue = false;
  uint64_t SentNumber = 0;
  uint64_t Writes = 0;  // writes begun, so that a deadline knows its own
  Message InFlight;
  asio::steady_timer WriteDeadline;
  asio::steady_timer KeepAlive;
  char Discard[DiscardBytes];
};

void VSession::ReadRequest() {
  Since = Clock::now();
  Parser.emplace();
  Parser->header_limit(static_cast<std::uint32_t>(Server.Limits.MaxHeaderBytes));
  Stream.expires_after(Server.Limits.RequestTimeout);
  http::async_read_header(Stream, Buffer, *Parser,
                          [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                            self->OnRequest(ec);
                          });
}

void VSession::OnRequest(const beast::error_code& ec) {
  if (Closed) return;
  if (ec) {
    // A request that cannot be parsed (or is too large) is answered; a
    // connection closed between requests, or too slow, is just closed.
    if (IsHttpError(ec) && ec != http::error::end_of_stream) {
      Refuse(http::status::bad_request, "bad request\n");
    } else {
      Close();
    }
    return;
  }
  const auto& request = Parser->get();
  const beast::string_view target = request.target();
  const beast::string_view path = target.substr(0, target.find('?'));
  const bool hasBody = Parser->chunked() || (Parser->content_length() && *Parser->content_length() > 0);

  if (!FromOwnPage(request)) {
    return;
  } else if (path != "/" && path != "/events") {
    Refuse(http::status::not_found, "not found\n");
  } else if (request.method() != http::verb::get) {
    auto response = MakeResponse(http::status::method_not_allowed, "text/plain; charset=utf-8",
                                 "only GET is served here\n");
    response->set(http::field::allow, "GET");
    Send(std::move(response), false);
  } else if (hasBody) {
    Refuse(http::status::bad_request, "bad request\n");
  } else if (path == "/") {
    auto response = MakeResponse(http::status::ok, "text/html; charset=utf-8", Server.Page);
    response->set("Content-Security-Policy", PagePolicy);
    Send(std::move(response), request.keep_alive());
  } else if (Server.ViewerCount >= Server.Limits.MaxViewers) {
    auto response = MakeResponse(http::status::service_unavailable, "text/plain; charset=utf-8",
                                 "too many viewers\n");
    response->set(http::field::retry_after, "5");
    Send(std::move(response), false);
  } else {
    BeginEvents();
  }
}

std::shared_ptr<VSession::Response> VSession::MakeResponse(http::status status, const char* type,
                                                           std::string body) const {
  auto response = std::make_shared<Response>(status, 11);
  response->set(http::field::server, "qs-view");
  response->set(http::field::content_type, type);
  response->set(http::field::cache_control, "no-store");
  response->set("X-Content-Type-Options", "nosniff");
  response->body() = std::move(body);
  return response;
}

void VSession::Send(std::shared_ptr<Response> response, bool keepAlive) {
  response->keep_alive(keepAlive);
  response->prepare_payload();
  Stream.expires_after(Server.Limits.WriteTimeout);
  Response& message = *response;
  http::async_write(Stream, message,
                    [self = shared_from_this(), response = std::move(response), keepAlive](
                        const beast::error_code& ec, std::size_t) {
                      if (ec) {
                        self->Close();
                      } else if (keepAlive) {
                        self->ReadRequest();
                      } else {
                        self->LingerThenClose();
                      }
                    });
}

void VSession::Refuse(http::status status, const char* text) {
  Send(MakeResponse(status, "text/plain; charset=utf-8", text), false);
}

bool VSession::FromOwnPage(const http::request<http::empty_body>& request) {
  if (request.count(http::field::host) != 1 || request.count(http::field::origin) > 1) {
    Refuse(http::status::bad_request, "bad request\n");
    return false;
  }
  const beast::string_view host = request[http::field::host];
  if (!Server.Hosts.HostAllowed(host, Local)) {
    Refuse(http::status::misdirected_request, "this server does not serve that host name\n");
    return false;
  }
  const auto origin = request.find(http::field::origin);
  if (origin != request.end() && !VHostCheck::SameOrigin(origin->value(), host)) {
    Refuse(http::status::forbidden, "requests from other sites' pages are refused\n");
    return false;
  }
  return true;
}

void VSession::LingerThenClose() {
  if (Closed) return;
  beast::error_code ignored;
  Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  // Set once: a peer that keeps sending does not keep the connection.
  Stream.expires_after(Server.Limits.CloseTimeout);
  DrainThenClose();
}

void VSession::DrainThenClose() {
  Stream.async_read_some(asio::buffer(Discard), [self = shared_from_this()](const beast::error_code& ec,
                                                                            std::size_t) {
    if (self->Closed) return;
    if (ec) {
      self->Close();
    } else {
      self->DrainThenClose();
    }
  });
}

void VSession::BeginEvents() {
  IsViewer = true;
  ++Server.ViewerCount;
  Stream.expires_never();
  EventHeader = http::response<http::empty_body>(http::status::ok, 11);
  EventHeader.set(http::field::server, "qs-view");
  EventHeader.set(http::field::content_type, "text/event-stream");
  EventHeader.set(http::field::cache_control, "no-store");
  // The stream ends when the connection does.
  EventHeader.keep_alive(false);
  EventHeaderWriter.emplace(EventHeader);
  Writing = true;
  http::async_write_header(Stream, *EventHeaderWriter,
                           [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                             self->Writing = false;
                             if (ec) {
                               self->Close();
                               return;
                             }
                             self->WatchForClose();
                             self->Pump();
                           });
}

void VSession::WatchForClose() {
  // A viewer sends nothing more; a read that ends tells that it went away.
  Stream.socket().async_read_some(asio::buffer(Discard),
                                  [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                                    if (ec) {
                                      self->Close();
                                    } else {
                                      self->WatchForClose();
                                    }
                                  });
}

void VSession::RestartKeepAlive() {
  KeepAlive.expires_after(Server.Limits.KeepAliveEvery);
  KeepAlive.async_wait([self = shared_from_this()](const beast::error_code& ec) {
    if (ec || self->Closed) return;
    self->KeepAliveDue = true;
    self->Pump();
  });
}

void VSession::Pump() {
  if (Closed || !IsViewer || Writing) return;
  Message next;
  if (!Greeted) {
    next = Server.RetryLine;
    Greeted = true;
  } else {
    uint64_t number = 0;
    Message latest = Server.LatestMessage(number);
    if (latest && number != SentNumber) {
      next = std::move(latest);
      SentNumber = number;
    } else if (KeepAliveDue) {
      next = Server.KeepAliveLine;
    } else {
      return;
    }
  }
  KeepAliveDue = false;
  Writing = true;
  InFlight = std::move(next);
  WriteDeadline.expires_after(Server.Limits.WriteTimeout);
  WriteDeadline.async_wait([self = shared_from_this(), write = ++Writes](const beast::error_code& ec) {
    // The viewer took nothing for too long (a deadline that fired just as
    // its write ended is not this one's any more).
    if (!ec && self->Writing && self->Writes == write) self->Close();
  });
  asio::async_write(Stream.socket(), asio::buffer(*InFlight),
                    [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                      self->Writing = false;
                      self->InFlight.reset();
                      self->WriteDeadline.cancel();
                      // A write may end well after the viewer was closed
                      // (its close was noticed first): no keep-alive timer
                      // then, which would hold the I/O thread (and Stop).
                      if (ec || self->Closed) {
                        self->Close();
                        return;
                      }
                      self->RestartKeepAlive();
                      self->Pump();
                    });
}

void VEventServer::VImpl::Deliver() {
  {
    std::lock_guard<std::mutex> lock(LatestMutex);
    DeliveryPosted = false;
  }
  // Pump may close a session, which takes it out of the set: walk a copy.
  const std::vector<VSession*> sessions(Sessions.begin(), Sessions.end());
  for (VSession* session : sessions) {
    if (Sessions.count(session) != 0) session->Pump();
  }
}

void VEventServer::VImpl::Accept() {
  Acceptor.async_accept([this](const beast::error_code& ec, tcp::socket socket) {
    if (Stopping) return;
    if (ec) {
      AcceptRetry.expires_after(AcceptRetryPause);
      AcceptRetry.async_wait([this](const beast::error_code& waited) {
        if (!waited && !Stopping) Accept();
      });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void VEventServer::VImpl::Admit(tcp::socket socket) {
  beast::error_code ec;
  const asio::ip::address peer = PeerOf(socket.remote_endpoint(ec).address());
  if (ec) return;  // already gone
  // The connections that are not event streams, in all and from this peer,
  // and the oldest of each.
  std::size_t all = 0, fromPeer = 0;
  VSession* oldest = nullptr;
  VSession* oldestFromPeer = nullptr;
  for (VSession* session : Sessions) {
    if (session->Viewer()) continue;
    ++all;
    if (!oldest || session->RequestBegan() < oldest->RequestBegan()) oldest = session;
    if (session->PeerAddress() != peer) continue;
    ++fromPeer;
    if (!oldestFromPeer || session->RequestBegan() < oldestFromPeer->RequestBegan()) oldestFromPeer = session;
  }
  // A peer over its share makes room among its own connections; otherwise
  // the oldest of all goes.
  if (fromPeer >= Limits.MaxRequestConnectionsPerPeer) {
    if (!oldestFromPeer) return;  // a share of none: refused
    oldestFromPeer->Close();
  } else if (all >= Limits.MaxRequestConnections) {
    if (!oldest) return;
    oldest->Close();
  }
  std::make_shared<VSession>(*this, std::move(socket), peer)->Start();
}

void VEventServer::VImpl::CloseAll() {
  Stopping = true;
  beast::error_code ignored;
  Acceptor.close(ignored);
  AcceptRetry.cancel();
  const std::vector<VSession*> sessions(Sessions.begin(), Sessions.end());
  for (VSession* session : sessions) {
    if (Sessions.count(session) != 0) session->Close();
  }
}

VEventServer::VEventServer(std::string page, VServerLimits limits)
    : Impl(std::make_unique<VImpl>(std::move(page), limits)) {}

VEventServer::~VEventServer() { Stop(); }

bool VEventServer::AllowHost(const std::string& name) { return Impl->Hosts.Allow(name); }

bool VEventServer::Listen(const std::string& address, uint16_t port, std::string& error) {
  beast::error_code ec;
  tcp::resolver resolver(Impl->Ioc);
  const auto endpoints = resolver.resolve(address, std::to_string(port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec) {
    error = "cannot resolve " + address + ": " + ec.message();
    return false;
  }
  for (const auto& entry : endpoints) {
    tcp::acceptor& acceptor = Impl->Acceptor;
    beast::error_code ignored;
    acceptor.close(ignored);
    if (acceptor.open(entry.endpoint().protocol(), ec) ||
        acceptor.set_option(asio::socket_base::reuse_address(true), ec) || acceptor.bind(entry.endpoint(), ec) ||
        acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
      continue;
    }
    return true;
  }
  if (!ec) ec = asio::error::host_not_found;
  error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
  beast::error_code ignored;
  Impl->Acceptor.close(ignored);
  return false;
}

bool VEventServer::Adopt(int fd, std::string& error) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  sockaddr_storage local{};
  socklen_t localSize = sizeof local;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      (local.ss_family != AF_INET && local.ss_family != AF_INET6)) {
    error = "file descriptor " + std::to_string(fd) + " is not a TCP socket";
    return false;
  }
  size = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) {
    error = "file descriptor " + std::to_string(fd) + " is not listening";
    return false;
  }
  beast::error_code ec;
  Impl->Acceptor.assign(local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
  if (ec) {
    error = "cannot use file descriptor " + std::to_string(fd) + ": " + ec.message();
    return false;
  }
  return true;
}

std::string VEventServer::LocalEndpoint() const {
  beast::error_code ec;
  const tcp::endpoint local = Impl->Acceptor.local_endpoint(ec);
  if (ec) return "";
  const std::string address = local.address().to_string();
  return (local.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(local.port());
}

void VEventServer::Start() {
  if (Impl->Thread.joinable()) return;
  Impl->Accept();
  Impl->Thread = std::thread([impl = Impl.get()] { impl->Ioc.run(); });
}

void VEventServer::Stop() {
  if (!Impl->Thread.joinable()) return;
  // Closing everything leaves the I/O thread without work, so it ends.
  asio::post(Impl->Ioc, [impl = Impl.get()] { impl->CloseAll(); });
  Impl->Thread.join();
}

void VEventServer::Publish(const std::string& message) { Impl->Publish(message); }

std::size_t VEventServer::Viewers() const { return Impl->ViewerCount; }

}  // namespace QSView
