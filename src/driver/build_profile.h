// The constants of this build: one product, one version, one architecture.
//
// Nothing here changes at run time. The two flavour switches are evaluated
// afresh by each caller, by comparing two constant texts without regard to
// case, so that both flavours are present in every build and the constants
// alone decide which one runs.
#pragma once

struct BuildProfile {
  const char* productTag;          // "qmb"
  const char* runtimeTag;          // "zlp"
  const char* version;             // "1.6.0_39"
  const char* versionPieces[4];    // "1", "6", "0", "39"
  const char* fullVersion;         // "1.6.0_39-b04"
  const char* architectureTag;     // "i586" (or "AMD64" in the 64-bit test build)
  const char* arch64Name;          // "amd64"
  const char* suffix64;            // "_x64"
  const char* updaterThreshold;    // "2.0.7.2"
  const char* oldUpdaterProductCode;
  const char* readyEventName;      // "QorQMBCabExtractWaitEvent"
  const char* kitKey;              // development-kit key under HKLM
  const char* runtimeKey;          // runtime key under HKLM
};

extern const BuildProfile kProfile;

// The kit's product tag, against which the development-kit flavour is judged.
extern const char kKitProductTag[];  // "qmb"

// True when the architecture tag names the 64-bit architecture.
bool Is64BitFlavour();

// True when the product tag is the development kit's.
bool IsDevelopmentKitFlavour();
