// The carry-over of a packet summary: the data of the types the server did
// not send again, copied from the previous packet's containers into the new
// ones.
#pragma once

#include <cstdint>
#include <set>

#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"

namespace LumoraQSStream {

// Replaces the data of every carried-over type in `current` by a copy of
// `previous`'s: the types of `carriedTypes` whose Carried column says Yes
// and that the container holds. Video frames are shared, not copied. Force,
// moment, centre-of-pressure and voltage data are never carried over, even
// when listed, nor are numbers outside the catalogue.
void MergeStaticObjects(const std::set<int32_t>& carriedTypes, const VStaticObjects& previous,
                        VStaticObjects& current);
void MergeDynamicObjects(const std::set<int32_t>& carriedTypes, const VDynamicObjects& previous,
                         VDynamicObjects& current);

}  // namespace LumoraQSStream
