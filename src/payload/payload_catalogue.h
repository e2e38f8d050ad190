// The items the executable carries in its resources, and where they go.
//
// Every item is stored under language 1033 and found by its type name and
// its integer resource number.
#pragma once

#include "platform/win32.h"

struct PayloadResource {
  const char* type;  // resource type name
  WORD number;       // integer resource name
};

extern const PayloadResource kMainPackage;     // "VESK_INSTALLER" 101
extern const PayloadResource kUpdaterPackage;  // "VESK_INSTALLER" 1119, written as au.msi
extern const PayloadResource kUpdaterCabinet;  // "VESK_INSTALLER" 1120, written as au.cab

// One kit cabinet: its base-name format (two letters, the four version
// pieces run together, a final "0") and its resource.
struct CabinetItem {
  const char* baseNameFormat;  // e.g. "ss%s%s%s%s0"
  PayloadResource resource;
};

// The seven kit cabinets in the order they are written: the two largest
// first. This is neither the resource numbers' order nor the package's disk
// order; the package only needs all seven complete when the event is set.
const int kCabinetCount = 7;
extern const CabinetItem kCabinetOrder[kCabinetCount];

// String 4 of the string table: the Windows Installer version message.
const UINT kVersionMessageString = 4;
