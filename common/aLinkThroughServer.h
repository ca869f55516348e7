#pragma once
// Links through a link server: a server put in front of a device link, and client links to
// a server (link types 4 to 7, all registered as type 4).
#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "aPacket.h"

struct aServer;

// Starts a link server on the device link (type 1 to 3), makes a client link to it, tells the
// server the device's module address and model (read through the client, 5 tries), and returns
// the client link: it carries the caller's use of the device link from then on. When the device
// link has a server already, none is made and the client goes to that one; its queries then
// change that server's details only when they succeed, and a failure flushes none of the other
// clients' reply slots. *port gets the server's port (also on some failures); *interface gives
// the interface to bind on entry and gets the server's on success. A local-only server's client
// connects to 127.0.0.1.
//
// 0 on any failure, with the device link as it was found: no server of this call left
// attached, and the caller's use still the caller's. 0 for device 0, NULL pointers, an
// unregistered device or one of another type.
aLinkRef aLink_CreateServer(aLinkRef device, uint16_t* port, uint32_t* interface, bool localOnly);

// With `existing` 0: a new client link to the server at address (network byte order) and
// port, started, without handshake; the connection is made in the background, so a client to
// an address where no server runs still runs (its requests go unanswered). With `existing`:
// one more use of that registered link. 0 on failure, nothing left registered.
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef existing);

// The queries by which a server learns about its device, each answered by the first inbound
// packet on the client link within 1000 ms (aErrTimeout without one).
aErr _aLink_ConfigureServerDetails(aLinkRef client, aServer* server);
aErr _aLink_GetModuleAddress(aLinkRef client, uint8_t* address);
aErr _aLink_GetModel(aLinkRef client, uint8_t address, uint8_t* model);

// Their replies, without a link. The module address: a packet without payload from a
// non-zero address, else aErrIO. The model, for a query sent to `address`: [03, option, index,
// model] from that address with the index's error bit clear, else aErrIO.
aErr _aLink_ModuleAddressReply(const aPacket* reply, uint8_t* address);
aErr _aLink_ModelReply(const aPacket* reply, uint8_t address, uint8_t* model);
