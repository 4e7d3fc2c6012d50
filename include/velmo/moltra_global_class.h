// VELMOSWGlobalLib: the global services of the add-in, as one class.
//
// This is the one header a C++ caller needs (velmo/utf8.h converts its UTF-16 strings from and
// to UTF-8). Every instance works on the calling thread's context: instances on one thread share
// the version, directories, user, language, configuration objects and parameter cache, and a
// thread that never called MOLTRAG_Init sees an empty context. Call MOLTRAG_Init with the host's
// version before anything else.
//
// No member lets a failure out: each returns its fallback instead (-1, "", false, or none) and
// the setters simply stop. The one exception is classPP::UpdatePP. A path or a value's name
// holding NUL is refused with that fallback, before anything else is done.
//
// Threads. An instance belongs to the thread that made it and is called on that thread only, as
// COM's apartments see to on Windows; its listeners and the context it works on are that
// thread's and are not locked. Any number of threads may each use instances of their own at
// once. What an instance hands out may go to another thread: a document (see config_document.h)
// and a classPP (see class_pp.h). Both events are raised on the thread that asked for the switch.
#ifndef VELMO_MOLTRA_GLOBAL_CLASS_H_
#define VELMO_MOLTRA_GLOBAL_CLASS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmo/class_pp.h"
#include "velmo/config_document.h"
#include "velmo/export.h"
#include "velmo/user_events.h"

namespace velmo {

class VELMO_EXPORT MOLTRAGlobalClass {
 public:
  using Cookie = std::uint32_t;  // names one connected listener; never 0

  MOLTRAGlobalClass() = default;  // does no work
  MOLTRAGlobalClass(const MOLTRAGlobalClass&) = delete;
  MOLTRAGlobalClass& operator=(const MOLTRAGlobalClass&) = delete;

  // Start-up. 0, also when no directories were found; -1 when a failure interrupted it.
  std::int32_t MOLTRAG_Init(std::u16string_view VersionStr = u"");
  // Drops the main configuration object. 0, or -1.
  std::int32_t MOLTRAG_Close();
  // Switches the user, raising UserChanging and UserChanged to this instance's listeners only.
  // 0 when done or refused by a listener; -1 when the user could not be stored or on a failure.
  std::int32_t MOLTRAG_EcrireUser(std::u16string_view NewUserPath);
  std::u16string MOLTRAG_GetServicePack();
  bool MOLTRAG_IsDebug();

  // Named values under the application's Interface key ("" when absent).
  std::u16string RegReadInterfaceValue(std::u16string_view ValueName);
  bool RegWriteInterfaceValue(std::u16string_view ValueName, std::u16string_view Value);

  std::u16string UserPath() const;
  std::u16string AppPath() const;
  std::u16string RepBase() const;  // AppPath
  std::u16string User() const;     // UserPath
  std::u16string Version() const;
  std::u16string Application() const;  // "VELMO_SW2"
  std::int32_t Langue() const;

  // The main configuration object, reloaded first when its file changed; may be none.
  std::shared_ptr<ConfigDocument> VelmoCFG();
  void SetVelmoCFG(std::shared_ptr<ConfigDocument>& CFG);
  std::shared_ptr<ConfigDocument> GeometrieDat();
  // Stores the language as the interface value "Langue" and, once stored, makes it current.
  void SetLangue(std::int32_t& lang);

  // Named values under the application's Settings key, in both hives.
  std::u16string RegReadSecurityValue(std::u16string_view ValueName);
  bool RegWriteSecurityValue(std::u16string_view ValueName, std::u16string_view Value);

  // The cached parameter object of `nomPP` in `PP`: 0, or -1 / -2 (no such file) with none.
  std::int32_t MOLTRAG_GetPP(std::u16string_view nomPP, std::shared_ptr<PPDocument>& PP);

  // Listeners of this instance's two events.
  Cookie Advise(std::shared_ptr<UserEvents> listener);
  bool Unadvise(Cookie cookie);
  const std::vector<std::pair<Cookie, std::shared_ptr<UserEvents>>>& listeners() const {
    return listeners_;
  }

 private:
  std::vector<std::pair<Cookie, std::shared_ptr<UserEvents>>> listeners_;
  Cookie next_cookie_ = 1;
};

}  // namespace velmo

#endif  // VELMO_MOLTRA_GLOBAL_CLASS_H_
