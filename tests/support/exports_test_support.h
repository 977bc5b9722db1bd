// Helpers of the tests that drive libQS.so through its exports against a
// capture-server peer on port 801 (end-to-end and hostile-peer tests).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "QS.h"
#include "testing/wait.h"
#include "testing/capture_server.h"

// Starts the server or skips the test with the reason: a test that cannot
// serve must never pass silently.
#define QS_START_OR_SKIP(server)                                             \
  do {                                                                       \
    if (!(server).Start()) {                                                 \
      GTEST_SKIP() << "cannot serve on port 801: " << (server).LastError(); \
    }                                                                        \
  } while (0)

namespace QSExportsTest {

// A peer on port 801 of `address`, the only port the exports connect to.
// Scripts are topped up by the tests themselves: a connection that waits
// for more stays open long enough for every check, and the life of one
// connection stays bounded.
inline QSTesting::VCaptureServerOptions On801(
    const std::string& address,
    QSTesting::EServeBehaviour behaviour = QSTesting::EServeBehaviour::AnswerEachRequest) {
  using namespace std::chrono_literals;
  QSTesting::VCaptureServerOptions options;
  options.Address = address;
  options.Port = 801;
  options.Behaviour = behaviour;
  options.ScriptWait = 20000ms;
  options.MaxConnectionTime = 40000ms;
  return options;
}

using QSTesting::WaitUntil;

// The current frame's number, or -1 when there is none.
inline int32_t FrameNow() {
  int32_t number = 0;
  return GetFrameNumber(&number) ? number : -1;
}

// Takes frames until the current one has the given number.
inline bool WaitForFrame(int32_t number,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  return WaitUntil(
      [number] {
        GetFrame();
        return FrameNow() == number;
      },
      timeout);
}

}  // namespace QSExportsTest
