#pragma once
#include <cstdint>

// The maker's USB vendor id. It comes from the CMake cache variable CORVANTIS_USB_VENDOR_ID,
// so that a build for real hardware sets the family's id without touching code.
#ifndef CORVANTIS_USB_VENDOR_ID
#error "CORVANTIS_USB_VENDOR_ID is set by the build (CMake cache variable)"
#endif
inline constexpr uint16_t aCORVANTIS_USB_VENDOR_ID = CORVANTIS_USB_VENDOR_ID;
