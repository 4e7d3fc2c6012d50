// Start-up, which fills the calling thread's context from a host version string, and the other
// operations that change the context.
#ifndef VELMO_CONTEXT_STARTUP_H_
#define VELMO_CONTEXT_STARTUP_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "context/application_context.h"
#include "velmo/config_document.h"

namespace velmo {

// The version a start-up takes when the host gives none.
inline constexpr std::u16string_view kDefaultVersion = u"2008";

// Empties the parameter cache, fixes version, release and service pack, and reads the context
// again unless the version asked for is the one in force. 0, also when no directories were
// found; a failure that interrupts it (an allocation) reaches the caller.
std::int32_t MOLTRAG_Init(ApplicationContext& context, std::u16string_view version_str);

// The cache's RequestParameterFile, after a start-up with no version when the context never had
// one.
std::int32_t MOLTRAG_GetPP(ApplicationContext& context, std::u16string_view nomPP,
                           std::shared_ptr<PPDocument>& pp);

// The start-up worker: language, user directory, application directory (written back on a first
// run), geometry and configuration. True when both directories were found; a failure of one step
// ends it with false, what was done staying.
bool Getinfo(ApplicationContext& context);

// Drops the main configuration object, which the next read of VelmoCFG loads again.
std::int32_t MOLTRAG_Close(ApplicationContext& context);

std::u16string MOLTRAG_GetServicePack(ApplicationContext& context);

// True exactly when the interface value "DEBUG" is "1".
bool MOLTRAG_IsDebug(ApplicationContext& context);

// Stores `lang` as the interface value "Langue" and makes it current once stored.
void SetLangue(ApplicationContext& context, std::int32_t lang);

// `value` rounded to `decimals` places, halves away from zero, in plain decimal notation with
// "." whatever the locale, and no trailing zeros.
std::u16string NumberToText(double value, std::int32_t decimals);

// A language number as start-up reads it: a decimal numeral, optionally signed, blanks around it
// ignored, a fraction rounded to the nearest whole number with halves to the even one. Nothing
// when the text is no such numeral or falls outside 32 bits.
std::optional<std::int32_t> ParseLangue(std::u16string_view text);

}  // namespace velmo

#endif  // VELMO_CONTEXT_STARTUP_H_
