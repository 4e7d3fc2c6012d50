// Makes settings reads served from the user hive between two marker calls, close(-7001) and
// close(-7002), so that a tracer can count the system calls of the reads alone.
//   store_syscall_probe DIRECTORY READS
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "context/application_context.h"
#include "platform/sqlite_registry.h"
#include "registry/settings_keys.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: store_syscall_probe DIRECTORY READS\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const int reads = std::atoi(argv[2]);
  velmo::ApplicationContext context(velmo::Platform{
      .registry = velmo::platform::NewSqliteRegistry({dir / "machine.db", dir / "user.db"})});
  context.version_info().Select(u"2010");
  const std::u16string expected = u"C:\\Users\\Łukasz\\";
  if (!velmo::registry::RegWriteInterfaceValue_(context, u"UserDir", expected)) return 1;
  // The first reads open the hive and fill what it keeps in memory.
  for (int i = 0; i < 10; ++i) velmo::registry::RegReadInterfaceValue_(context, u"UserDir");
  ::close(-7001);
  int wrong = 0;
  for (int i = 0; i < reads; ++i) {
    if (velmo::registry::RegReadInterfaceValue_(context, u"UserDir") != expected) ++wrong;
  }
  ::close(-7002);
  if (wrong != 0) {
    std::fprintf(stderr, "%d of %d reads answered wrongly\n", wrong, reads);
    return 1;
  }
  return 0;
}
