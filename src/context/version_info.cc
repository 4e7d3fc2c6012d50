#include "context/version_info.h"

namespace velmo {
namespace {

struct VersionRow {
  std::u16string_view version;
  std::u16string_view release;
  std::u16string_view service_pack;
};
constexpr VersionRow kVersions[] = {
    {u"2008", u"2", u"2"},
    {u"2", u"2", u"2"},
    {u"2010", u"2", u"1"},
};

}  // namespace

void VersionInfo::Select(std::u16string_view version) {
  version_ = version;
  for (const VersionRow& row : kVersions) {
    if (version == row.version) {
      release_ = row.release;
      service_pack_ = row.service_pack;
    }
  }
}

void VersionInfo::Clear() {
  version_.clear();
  release_.clear();
  service_pack_.clear();
}

}  // namespace velmo
