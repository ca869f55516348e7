#pragma once
// Discovery of the family's devices attached over USB, through the process-wide libusb context.
#include <cstddef>
#include <cstdint>

#include "aDiscoveryRun.h"

// Reports every device of the family on the bus whose serial-number string is 8 hexadecimal
// digits, in the bus's list order, until proc asks to stop. No context: nothing is found.
void aDiscovery_EnumerateUSB(aDiscoveryRun* run);

// The serial number of a serial-number string of `length` characters: exactly 8 hexadecimal
// digits, either case. False for anything else ("0x12ABCD", " 1234ABC", "0000ABCG", 7 or 9).
bool aDiscovery_ParseUSBSerialNumber(const char* text, int length, uint32_t* serial);

// Fills `spec` as USB discovery reports a device: the serial number (also the usbId) and the
// low byte of the product id as the model.
void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serial, uint16_t productId);
