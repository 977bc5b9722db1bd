#include "stream/stream_client.h"

#include <exception>
#include <utility>

#include <boost/system/error_code.hpp>

using boost::asio::ip::tcp;
using LumoraQSStream::EEndReason;
using LumoraQSStream::VPacketDelivery;
using LumoraQSStream::VReadResult;
using LumoraQSStream::VReceivedPacket;

VLumoraQSStreamClient::VLumoraQSStreamClient(std::weak_ptr<ILumoraQSStreamClientCallback> callback)
    : Callback(std::move(callback)) {}

VLumoraQSStreamClient::~VLumoraQSStreamClient() {
  // Shutting the connection down wakes a blocked read at once; the socket is
  // closed only after the receiving thread has ended.
  Session.Shutdown();
  if (ReceivingThread) {
    if (ReceivingThread->joinable()) ReceivingThread->join();
    ReceivingThread.reset();
  }
  Session.Close();
}

template <class Event>
void VLumoraQSStreamClient::Notify(Event&& event) {
  // The strong reference lives only for the call; a callback object that is
  // gone means the event is dropped.
  std::shared_ptr<ILumoraQSStreamClientCallback> callback = Callback.lock();
  if (!callback) return;
  try {
    event(*callback);
  } catch (...) {
    // A failing receiver must not take the connection's thread down, nor
    // end a connection that serves the next event as well as ever; but it
    // is not forgotten either: counted, and the first named in DescribeEnd.
    std::string what = "an exception that is not a std::exception";
    try {
      throw;
    } catch (const std::exception& error) {
      what = error.what();
    } catch (...) {
    }
    if (FailedCallbackCount.fetch_add(1) == 0) {
      std::lock_guard<std::mutex> guard(EndMutex);
      FirstCallbackFailure = std::move(what);
    }
  }
}

void VLumoraQSStreamClient::Connect(const std::string& host, int port) {
  if (Attempted) return;  // one connection per stream client
  boost::system::error_code error;
  Connect(Session.Resolve(host, error), port);
}

void VLumoraQSStreamClient::Connect(const std::vector<tcp::endpoint>& endpoints, int port) {
  if (Attempted) return;
  Attempted = true;
  const boost::system::error_code error = Session.Connect(endpoints, port);
  if (!error) {
    Notify([](ILumoraQSStreamClientCallback& c) { c.OnConnected(); });
    try {
      ReceivingThread = std::make_shared<std::thread>(&VLumoraQSStreamClient::Run, this);
    } catch (...) {
      // No thread could be started: the connection ends here, reported
      // once, as every other end of a connection is.
      Session.Close();
      Notify([](ILumoraQSStreamClientCallback& c) { c.OnDisconnected(); });
    }
    return;
  }
  // Name resolution failed, no endpoint accepted, or the port is not a
  // 16-bit port number.
  Notify([](ILumoraQSStreamClientCallback& c) { c.OnDisconnected(); });
}

void VLumoraQSStreamClient::SetRequestedTypes(const std::set<int32_t>& types) { Session.SetRequestedTypes(types); }

void VLumoraQSStreamClient::SetStreamMode(uint8_t mode) { Session.SetStreamMode(mode); }

void VLumoraQSStreamClient::SetVideoConversion(bool on) { Session.SetVideoConversion(on); }

VReadResult VLumoraQSStreamClient::End() const {
  std::lock_guard<std::mutex> guard(EndMutex);
  return LastEnd;
}

std::string VLumoraQSStreamClient::DescribeEnd() const {
  std::string text = End().Describe();
  const uint64_t failed = FailedCallbackCount.load();
  if (failed == 0) return text;
  std::lock_guard<std::mutex> guard(EndMutex);
  return text + "; " + std::to_string(failed) + (failed == 1 ? " callback" : " callbacks") +
         " threw, the first: " + FirstCallbackFailure;
}

void VLumoraQSStreamClient::Run() {
  VReadResult end(EEndReason::SocketError);
  try {
    end = Session.Run(*this);
  } catch (...) {
    // Nothing else is thrown on the way (the session turns a failed
    // allocation into its own end); should it be, the host's process must
    // not end for it: the connection ends as on a socket failure.
  }
  {
    std::lock_guard<std::mutex> guard(EndMutex);
    LastEnd = end;
  }
  LastEndReason.store(end.Reason);
  Notify([](ILumoraQSStreamClientCallback& c) { c.OnDisconnected(); });
}

bool VLumoraQSStreamClient::OnPacket(const VReceivedPacket& packet, const VPacketDelivery& delivery) {
  (void)packet;
  if (delivery.Static) {
    Notify([&](ILumoraQSStreamClientCallback& c) { c.OnStaticObjects(delivery.Static); });
  }
  if (delivery.Dynamic) {
    Notify([&](ILumoraQSStreamClientCallback& c) { c.OnDynamicObjects(delivery.Dynamic); });
  }
  return true;
}
