#include "tools/export/rate_fit.h"

namespace QSExport {

void VRateFit::Add(int32_t frameNumber, int64_t receiveNs) {
  if (Count == 0) {
    FirstFrame = frameNumber;
    FirstNs = receiveNs;
  }
  LastNs = receiveNs;
  ++Count;
  const double x = static_cast<double>(static_cast<int64_t>(frameNumber) - FirstFrame);
  const double y = static_cast<double>(receiveNs - FirstNs) * 1e-9;
  SumX += x;
  SumY += y;
  SumXX += x * x;
  SumXY += x * y;
}

bool VRateFit::Rate(double& hz, std::string& why) const {
  hz = 0;
  if (Count < 2) {
    why = "it holds a single frame";
    return false;
  }
  const double n = static_cast<double>(Count);
  const double sxx = SumXX - SumX * SumX / n;
  const double sxy = SumXY - SumX * SumY / n;
  if (!(sxx > 0)) {
    why = "its frame numbers do not advance";
    return false;
  }
  const double secondsPerFrame = sxy / sxx;
  if (!(secondsPerFrame > 0)) {
    why = "its frame numbers do not advance with its receive times";
    return false;
  }
  hz = 1.0 / secondsPerFrame;
  return true;
}

}  // namespace QSExport
