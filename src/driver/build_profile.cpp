#include "driver/build_profile.h"

#include "platform/win32.h"

// The build chooses the architecture tag; the product build is the 32-bit one.
#ifndef QMB_ARCHITECTURE_TAG
#define QMB_ARCHITECTURE_TAG "i586"
#endif

const BuildProfile kProfile = {
    "qmb",
    "zlp",
    "1.6.0_39",
    {"1", "6", "0", "39"},
    "1.6.0_39-b04",
    QMB_ARCHITECTURE_TAG,
    "amd64",
    "_x64",
    "2.0.7.2",
    "{5C2E81A0-7B3D-4F19-9A64-2D8E0C7B1F35}",
    "QorQMBCabExtractWaitEvent",
    "SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39",
    "SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39",
};

const char kKitProductTag[] = "qmb";

bool Is64BitFlavour() { return lstrcmpiA(kProfile.architectureTag, kProfile.arch64Name) == 0; }

bool IsDevelopmentKitFlavour() { return lstrcmpiA(kProfile.productTag, kKitProductTag) == 0; }
