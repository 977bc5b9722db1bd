#include "stream/dynamic_objects_pool.h"

#include <cstddef>
#include <mutex>
#include <vector>

#include "streamio/limits.h"

using namespace LumoraQSStream;
using LumoraQSStreamIO::MaxKeptRoom;

namespace {

// Gives the lists of a new dynamic container the capacity of the previous
// packet's. Consecutive frames carry the same subjects and device outputs,
// so each list is then allocated once instead of being regrown (and its
// elements moved) as objects arrive one by one. Capacity only: the lists
// stay empty. Nothing is reserved when the previous packet's lists would
// take more room than this packet's payload can fill (a large frame, then
// a small one).
void ReserveLike(const VDynamicObjects& previous, VDynamicObjects& objects, uint64_t maxRoom) {
  uint64_t room = 0;
  ForEachList([&](auto list) { room += (previous.*list).size() * sizeof((previous.*list)[0]); });
  if (room > maxRoom) return;
  ForEachList([&](auto list) { (objects.*list).reserve((previous.*list).size()); });
}

}  // namespace

// A delivered dynamic container is shared by the frame queue, the host's
// frame assembly and, as the previous container, the packet reader; whichever lets
// go of it last (on any thread) puts it here instead of freeing it. The
// receiving thread takes it back for a later packet and refills its lists in
// place, so that at a steady frame shape decoding allocates nothing (on a
// heavy frame the allocations and frees of some hundred lists cost a third
// of the receiving thread's time). A container is taken back only after
// every holder has dropped it, so no reader of a delivered frame ever sees
// it change; the mutex orders those readers' last accesses before the
// refill.
class VDynamicObjectsBin {
 public:
  // More would only hold memory: in a steady stream a container comes back
  // before the packet after next needs one.
  static constexpr std::size_t Capacity = 2;

  VDynamicObjectsBin() { Kept.reserve(Capacity); }

  void Put(VDynamicObjects* objects) noexcept {
    std::unique_ptr<VDynamicObjects> owned(objects);
    std::lock_guard<std::mutex> lock(Mutex);
    // Within the reserved capacity: push_back does not allocate or throw.
    if (Kept.size() < Capacity) Kept.push_back(std::move(owned));
    // Otherwise `owned` frees the container, after the lock is released.
  }

  std::unique_ptr<VDynamicObjects> Take() {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Kept.empty()) return nullptr;
    std::unique_ptr<VDynamicObjects> objects = std::move(Kept.back());
    Kept.pop_back();
    return objects;
  }

  // Frees what is kept; the reserved capacity stays, so Put still cannot
  // allocate.
  void Clear() {
    std::lock_guard<std::mutex> lock(Mutex);
    Kept.clear();
  }

 private:
  std::mutex Mutex;
  std::vector<std::unique_ptr<VDynamicObjects>> Kept;
};

namespace {

// The deleter of every dynamic container the pool hands out. Once the pool
// (and with it the bin) is gone, containers are simply freed.
struct VReturnToBin {
  std::weak_ptr<VDynamicObjectsBin> Bin;
  void operator()(VDynamicObjects* objects) const noexcept {
    if (std::shared_ptr<VDynamicObjectsBin> bin = Bin.lock()) {
      bin->Put(objects);
    } else {
      delete objects;
    }
  }
};

// `objects` shared, returning to `bin` when its last holder lets go. Should
// the control block's allocation fail, the deleter still runs and the
// container goes back to the bin.
std::shared_ptr<VDynamicObjects> Share(std::unique_ptr<VDynamicObjects> objects,
                                       const std::shared_ptr<VDynamicObjectsBin>& bin) {
  return std::shared_ptr<VDynamicObjects>(objects.release(), VReturnToBin{bin});
}

}  // namespace

VDynamicObjectsPool::VDynamicObjectsPool() : Bin(std::make_shared<VDynamicObjectsBin>()) {}

VDynamicObjectsPool::~VDynamicObjectsPool() = default;

std::unique_ptr<VDynamicObjects> VDynamicObjectsPool::Reuse(uint64_t maxRoom) {
  // Lists with more room than `maxRoom` (far more than the packet's payload
  // can fill) were grown by an earlier, larger frame: a container (or spare
  // lists) holding such room is freed rather than refilled, so that the
  // memory held follows the stream, as it did when every packet had new
  // lists. Every list counts, the container's own as well as those inside
  // its elements.
  if (KeptBytes(SpareLists) > maxRoom) SpareLists = VSpareLists{};
  std::unique_ptr<VDynamicObjects> objects = Bin->Take();
  if (objects && KeptBytes(*objects) > maxRoom) objects.reset();
  if (objects) {
    try {
      EmptyForReuse(*objects, SpareLists);
    } catch (...) {
      // Out of memory while keeping the inner lists: fall back to a new
      // container rather than one half emptied.
      objects.reset();
      SpareLists = VSpareLists{};
    }
  }
  return objects;
}

std::shared_ptr<VDynamicObjects> VDynamicObjectsPool::Take(uint32_t payloadBytes, const VDynamicObjects* previous) {
  const uint64_t maxRoom = MaxKeptRoom(payloadBytes);
  if (Prepared) {
    std::shared_ptr<VDynamicObjects> ready = std::move(Prepared);
    if (PreparedRoom <= maxRoom) return ready;
    // Readied for a larger packet: back to the bin, and decided again below.
  }
  std::unique_ptr<VDynamicObjects> objects = Reuse(maxRoom);
  if (!objects) {
    objects = std::make_unique<VDynamicObjects>();
    if (previous) ReserveLike(*previous, *objects, maxRoom);
  }
  return Share(std::move(objects), Bin);
}

void VDynamicObjectsPool::Prepare(uint32_t payloadBytes) noexcept {
  if (Prepared) return;
  const uint64_t maxRoom = MaxKeptRoom(payloadBytes);
  try {
    std::unique_ptr<VDynamicObjects> objects = Reuse(maxRoom);
    if (!objects) return;
    Prepared = Share(std::move(objects), Bin);
    PreparedRoom = maxRoom;
  } catch (...) {
    // Nothing readied: Take does the work when the packet comes.
  }
}

void VDynamicObjectsPool::Clear() {
  Prepared.reset();
  Bin->Clear();
  SpareLists = VSpareLists{};
}
