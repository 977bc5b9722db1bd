#include "streamio/carry_over.h"

#include <type_traits>

namespace LumoraQSStream {

namespace {

template <class Container>
void MergeCarried(const std::set<int32_t>& carriedTypes, const Container& previous, Container& current) {
  // A case for every type the Carried column lets a summary carry, which
  // copies only when `Container` is the one that holds it.
#define QS_MERGE_Yes(Holder, Name, Member)                                 \
  case Name:                                                               \
    if constexpr (std::is_same_v<Container, V##Holder##Objects>) {         \
      current.Member = previous.Member;                                    \
    }                                                                      \
    break;
#define QS_MERGE_No(...)
#define QS_MERGE(Name, Number, Route, Holder, Member, Rule, Decoder, Carried, ...) \
  QS_MERGE_##Carried(Holder, Name, Member)
  for (int32_t type : carriedTypes) {
    switch (type) {
      QS_OBJECT_TYPES(QS_MERGE)
      default:
        break;
    }
  }
#undef QS_MERGE
#undef QS_MERGE_No
#undef QS_MERGE_Yes
}

}  // namespace

void MergeStaticObjects(const std::set<int32_t>& carriedTypes, const VStaticObjects& previous,
                        VStaticObjects& current) {
  MergeCarried(carriedTypes, previous, current);
}

void MergeDynamicObjects(const std::set<int32_t>& carriedTypes, const VDynamicObjects& previous,
                         VDynamicObjects& current) {
  MergeCarried(carriedTypes, previous, current);
}

}  // namespace LumoraQSStream
