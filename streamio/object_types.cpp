#include "streamio/object_types.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace LumoraQSStream {
namespace {

#define QS_CATALOGUE_ROW(Name, Number, Route, Holder, Member, Rule, Decoder, Carried, Record, Field, Kind, Step) \
  {Name, #Name, ERoute::Route, EDataKind::Kind, Step},
constexpr VObjectTypeInfo Catalogue[] = {QS_OBJECT_TYPES(QS_CATALOGUE_ROW)};
#undef QS_CATALOGUE_ROW

constexpr bool Ascending() {
  for (std::size_t i = 1; i < std::size(Catalogue); ++i) {
    if (!(Catalogue[i - 1].Number < Catalogue[i].Number)) return false;
  }
  return true;
}
static_assert(Ascending(), "the catalogue is searched by halving: keep its numbers ascending");

}  // namespace

const VObjectTypeInfo* FindObjectType(int32_t number) {
  const VObjectTypeInfo* end = std::end(Catalogue);
  const VObjectTypeInfo* info = std::lower_bound(
      std::begin(Catalogue), end, number, [](const VObjectTypeInfo& entry, int32_t n) { return entry.Number < n; });
  return info != end && info->Number == number ? info : nullptr;
}

bool IsCatalogued(int32_t number) { return FindObjectType(number) != nullptr; }

ERoute RouteOf(int32_t number) {
  const VObjectTypeInfo* info = FindObjectType(number);
  return info ? info->Route : ERoute::Skipped;
}

const char* ObjectTypeName(int32_t number) {
  const VObjectTypeInfo* info = FindObjectType(number);
  return info ? info->Name : "";
}

std::vector<int32_t> TypesOfKind(EDataKind kind) {
  std::vector<int32_t> types;
  for (const VObjectTypeInfo& info : Catalogue) {
    if (info.Kind == kind) types.push_back(info.Number);
  }
  return types;
}

namespace {

// The types whose kind `pick` accepts, by connect step.
template <class Pick>
std::vector<int32_t> TypesByConnectStep(Pick pick) {
  std::vector<const VObjectTypeInfo*> rows;
  for (const VObjectTypeInfo& info : Catalogue) {
    if (pick(info.Kind)) rows.push_back(&info);
  }
  std::sort(rows.begin(), rows.end(),
            [](const VObjectTypeInfo* a, const VObjectTypeInfo* b) { return a->ConnectStep < b->ConnectStep; });
  std::vector<int32_t> types;
  for (const VObjectTypeInfo* info : rows) types.push_back(info->Number);
  return types;
}

}  // namespace

std::vector<int32_t> TypesEnabledAtConnect() {
  return TypesByConnectStep([](EDataKind kind) { return kind == EDataKind::Scene; });
}

std::vector<int32_t> TypesDisabledAtConnect() {
  return TypesByConnectStep([](EDataKind kind) {
    return kind == EDataKind::Segments || kind == EDataKind::Markers || kind == EDataKind::ForcePlates ||
           kind == EDataKind::Unasked;
  });
}

}  // namespace LumoraQSStream
