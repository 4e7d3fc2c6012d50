// The date of a file as the library compares them: a parameter file is reloaded when its date is
// strictly later than the one stored with it.
#ifndef VELMO_FILE_DATE_H_
#define VELMO_FILE_DATE_H_

#include <compare>
#include <cstdint>

namespace velmo {

// UTC at the file system's full resolution, so that two saves within one second still give two
// dates and a change to or from daylight-saving time moves nothing.
struct FileDate {
  std::int64_t seconds = 0;      // since 1970-01-01 00:00 UTC
  std::int32_t nanoseconds = 0;  // 0 to 999 999 999
  auto operator<=>(const FileDate&) const = default;
};

// The automation zero date, 1899-12-30 00:00 UTC: the date of what was never loaded, earlier
// than any file.
inline constexpr FileDate kZeroDate{-2209161600, 0};

}  // namespace velmo

#endif  // VELMO_FILE_DATE_H_
