#include "driver/language.h"

#include "driver/build_profile.h"

const LanguageTableRow LanguageTable[kLanguageTableRows] = {
    {2052, 2052},  // Chinese (Simplified, PRC)
    {4, 1028},     // Chinese (Traditional, Taiwan)
    {7, 1031},     // German (Germany)
    {9, 1033},     // English (United States)
    {10, 1034},    // Spanish (Spain, traditional sort)
    {12, 1036},    // French (France)
    {16, 1040},    // Italian (Italy)
    {17, 1041},    // Japanese (Japan)
    {18, 1042},    // Korean (Korea)
    {1046, 1046},  // Portuguese (Brazil)
    {29, 1053},    // Swedish (Sweden)
};

namespace {

const LANGID kEnglish = 1033;
const LANGID kChinesePrc = 2052;
const LANGID kPortugueseBrazil = 1046;

// The primary language sits in the low bits; every standard identifier keeps
// it within the low 8.
uint32_t LowByte(LANGID language) { return static_cast<uint32_t>(language & 0xFF); }

}  // namespace

LANGID DefaultInstallLanguageFor(bool kitPolicy, LANGID user) {
  // Simplified Chinese shares its primary language (4) with the traditional
  // variants, so it is told apart before any primary-language match.
  if (user == kChinesePrc) return kChinesePrc;

  if (kitPolicy) {
    const LanguageTableRow& japanese = LanguageTable[kKitJapaneseRow];
    return LowByte(user) == japanese.primaryLanguage ? japanese.installerLanguage : kEnglish;
  }

  // Brazilian Portuguese is the one Portuguese variant with a transform.
  if (user == kPortugueseBrazil) return kPortugueseBrazil;
  for (const LanguageTableRow& row : LanguageTable) {
    if (row.primaryLanguage == LowByte(user)) return row.installerLanguage;
  }
  return kEnglish;
}

bool IsAcceptedLanguageFor(bool kitPolicy, LANGID language) {
  if (kitPolicy) {
    return language == kEnglish || language == LanguageTable[kKitJapaneseRow].installerLanguage ||
           language == kChinesePrc;
  }
  for (const LanguageTableRow& row : LanguageTable) {
    if (row.installerLanguage == language) return true;
  }
  return false;
}

LANGID DefaultInstallLanguage() {
  LANGID user = GetUserDefaultLangID();
  return DefaultInstallLanguageFor(IsDevelopmentKitFlavour(), user);
}

bool IsAcceptedLanguage(LANGID language) { return IsAcceptedLanguageFor(IsDevelopmentKitFlavour(), language); }
