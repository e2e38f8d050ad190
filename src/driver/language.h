// The installer language: its default from the user's language, and which
// values the "/lang=" option may choose.
//
// Two policies exist and both are part of every build. The development-kit
// policy knows 1033, 1041 and 2052; the general policy knows the eleven
// installer languages of LanguageTable. The public operations pick the policy
// afresh at each call from IsDevelopmentKitFlavour(); the *For forms take it
// explicitly so that either policy can be exercised in any build.
#pragma once

#include <cstdint>

#include "platform/win32.h"

struct LanguageTableRow {
  uint32_t primaryLanguage;   // compared with the low 8 bits of the user's identifier
  LANGID installerLanguage;   // the language the row yields
};

constexpr int kLanguageTableRows = 11;

// In scan order. Rows 0 (2052) and 9 (1046) carry whole identifiers in their
// first field, which no 8-bit value can equal; those two identifiers are
// recognised by exact comparison before the scan.
extern const LanguageTableRow LanguageTable[kLanguageTableRows];

// The row the development-kit policy takes its Japanese entry from.
constexpr int kKitJapaneseRow = 7;

// The default installer language for the user's identifier `user`, under the
// development-kit policy (kitPolicy true) or the general policy. Always a
// value that IsAcceptedLanguageFor(kitPolicy, ...) accepts.
LANGID DefaultInstallLanguageFor(bool kitPolicy, LANGID user);

// Whether `language` may be chosen as the installer language under the
// given policy (whole 16-bit comparison).
bool IsAcceptedLanguageFor(bool kitPolicy, LANGID language);

// The default for this run: reads GetUserDefaultLangID once and applies the
// policy of this build's flavour.
LANGID DefaultInstallLanguage();

// IsAcceptedLanguageFor under the policy of this build's flavour.
bool IsAcceptedLanguage(LANGID language);
