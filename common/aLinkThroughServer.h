#pragma once
// Links through a link server: a server put in front of a device link, and client links to
// a server (link types 4 to 7).
#include <cstdint>

#include "aLink.h"

// Starts a link server on the device link, writes the port it bound to *port and, on success,
// its interface (network byte order; the interface to use on entry) to *interface, and returns
// a client link to it; 0 on any failure. Link servers are not made yet: nothing is created or
// written and the result is 0.
aLinkRef aLink_CreateServer(aLinkRef device, uint16_t* port, uint32_t* interface, bool localOnly);

// A client link to the server at address (network byte order) and port, or, with `existing`
// other than 0, one more use of that link; 0 on failure. Client links are not made yet: the
// result is 0 and no use is counted.
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing);
