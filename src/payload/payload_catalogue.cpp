#include "payload/payload_catalogue.h"

const PayloadResource kMainPackage = {"VESK_INSTALLER", 101};
const PayloadResource kUpdaterPackage = {"VESK_INSTALLER", 1119};
const PayloadResource kUpdaterCabinet = {"VESK_INSTALLER", 1120};

const CabinetItem kCabinetOrder[kCabinetCount] = {
    {"ss%s%s%s%s0", {"VESK_CAB9", 110}},  {"st%s%s%s%s0", {"VESK_CAB10", 111}},
    {"sj%s%s%s%s0", {"VESK_CAB7", 108}},  {"sp%s%s%s%s0", {"VESK_CAB8", 109}},
    {"sz%s%s%s%s0", {"VESK_CAB11", 112}}, {"sb%s%s%s%s0", {"VESK_CAB12", 113}},
    {"sr%s%s%s%s0", {"VESK_CAB13", 114}},
};
