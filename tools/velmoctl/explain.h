// Where an add-in's read of an interface or settings value finds it, told without changing
// anything: the library's own search (the user's hive, then the machine hive's 32-bit view with
// the user's hive standing in when that key cannot be opened), and whether a user's copy shadows
// a machine value that has changed since it was copied.
#ifndef VELMO_TOOLS_VELMOCTL_EXPLAIN_H_
#define VELMO_TOOLS_VELMOCTL_EXPLAIN_H_

#include <ostream>
#include <string>

#include "context/application_context.h"

namespace velmo::tools {

enum class Family { kInterface, kSetting };

// "interface" or "setting", as the commands are named.
const char* FamilyName(Family family);

// The key of `family` under the release key of `context`, which start-up has filled.
std::u16string FamilyKey(const ApplicationContext& context, Family family);

// Writes the explanation of `name` to `out`. Reads only.
void Explain(ApplicationContext& context, Family family, const std::u16string& name,
             std::ostream& out);

// Deletes the user's copy of `name` and nothing else. False, with the reason in `err`, when
// there was no copy or the store refused.
bool Forget(ApplicationContext& context, Family family, const std::u16string& name,
            std::ostream& out, std::ostream& err);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_EXPLAIN_H_
