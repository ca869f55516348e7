#pragma once
// The process-wide libusb context, shared by the USB driver and USB discovery.
#include <libusb.h>

#include "aUSBVendor.h"

// The context, created on first use (libusb_init) under the context lock; NULL when creation
// failed, and the next call tries again.
libusb_context* Corvantis_libusb_context();
// The same as Corvantis_libusb_context.
libusb_context* Corvantis_libusb_init();
// Releases the context (libusb_exit) so that the next use makes a fresh one that enumerates
// afresh. While a USB stream is open it releases nothing: its handle lives in the context.
void Corvantis_libusb_exit();

// Users of the context that hold libusb handles (the USB driver's records in libusb mode).
void Corvantis_libusb_retain();
void Corvantis_libusb_release();

// A device of the family: the maker's vendor id and a product id with bit 15 clear. A device
// whose descriptor cannot be read is not one.
bool is_corvantis_device(libusb_device* device);
