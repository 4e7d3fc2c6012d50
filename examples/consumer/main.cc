// An add-in module of our own, built outside the library's tree: it starts up as the host would,
// shows the context and a setting, and reads a value of the configuration and of a parameter
// file.
//
//   velmo-consumer HOST-VERSION SECTION NAME PARAMETER-FILE PARAMETER-NAME
//
// The library never lets a failure out of MOLTRAGlobalClass; what went wrong shows as its
// fallback results (-1, "", an empty reference), which this program prints as they come.
#include <velmo/config_document.h>
#include <velmo/moltra_global_class.h>
#include <velmo/utf8.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {

std::string Quoted(const std::optional<std::u16string>& value) {
  return value ? "\"" + velmo::ToUtf8(*value) + "\"" : "(none)";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr,
                 "usage: velmo-consumer HOST-VERSION SECTION NAME PARAMETER-FILE "
                 "PARAMETER-NAME\n");
    return 2;
  }
  const auto arg = [&](int i) { return velmo::FromUtf8(argv[i]); };

  velmo::MOLTRAGlobalClass global;
  std::printf("MOLTRAG_Init       %d\n", global.MOLTRAG_Init(arg(1)));
  std::printf("Version            %s\n", velmo::ToUtf8(global.Version()).c_str());
  std::printf("AppPath            %s\n", velmo::ToUtf8(global.AppPath()).c_str());
  std::printf("UserPath           %s\n", velmo::ToUtf8(global.UserPath()).c_str());
  std::printf("Langue             %d\n", global.Langue());
  std::printf("interface Langue   \"%s\"\n",
              velmo::ToUtf8(global.RegReadInterfaceValue(u"Langue")).c_str());

  const std::shared_ptr<velmo::ConfigDocument> cfg = global.VelmoCFG();
  std::printf("VelmoCFG [%s] %s  %s\n", argv[2], argv[3],
              cfg ? Quoted(cfg->Value(arg(2), arg(3))).c_str() : "(no configuration)");

  std::shared_ptr<velmo::PPDocument> pp;
  const std::int32_t got = global.MOLTRAG_GetPP(arg(4), pp);
  std::printf("MOLTRAG_GetPP      %d\n", got);
  std::printf("%s %s  %s\n", argv[4], argv[5],
              pp ? Quoted(pp->Value(arg(5))).c_str() : "(no parameter object)");
  return got == 0 && cfg ? 0 : 1;
}
