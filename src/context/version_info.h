// The host's version and what it selects: the release, whose key holds the settings, and the
// service pack.
#ifndef VELMO_CONTEXT_VERSION_INFO_H_
#define VELMO_CONTEXT_VERSION_INFO_H_

#include <string>
#include <string_view>

namespace velmo {

// Empty, all three, until the first start-up; the version is never empty after one.
class VersionInfo {
 public:
  const std::u16string& version() const { return version_; }
  const std::u16string& release() const { return release_; }
  const std::u16string& service_pack() const { return service_pack_; }
  bool defined() const { return !version_.empty(); }

  // Makes `version` current. A version the library knows sets its release and service pack; any
  // other keeps the ones in force (empty after none was ever known).
  void Select(std::u16string_view version);

  // Back to before the first start-up.
  void Clear();

 private:
  std::u16string version_;
  std::u16string release_;
  std::u16string service_pack_;
};

}  // namespace velmo

#endif  // VELMO_CONTEXT_VERSION_INFO_H_
