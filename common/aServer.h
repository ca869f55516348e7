#pragma once
// A link server: shares one registered device link (USB, TCP/IP or serial) with any number of
// clients in this or other processes over message sockets. Clients send packets to its
// frontend and get their replies back; the device's stream packets go out in batches to every
// client that enabled streaming; discovery finds it by loopback multicast or by beacon once
// it knows the device's model.
//
// Calling order: aServer_Create, aServer_Start (once), aServer_GetPort and
// aServer_GetInterface, aServer_SetModuleAddress and aServer_SetModel, aServer_Destroy. A
// server that a device link's registry entry holds is destroyed with that link's last use.
#include <cstdint>

#include "aError.h"
#include "aLink.h"

struct aServer;

// A server record for the registered link `device` (type 1 to 3). interfaceAddress is IPv4 in
// network byte order, 0 meaning 127.0.0.1; a local-only server binds and answers on the
// loopback interface only. NULL for an unregistered link or another type; nothing is kept.
aServer* aServer_Create(aLinkRef device, uint32_t interfaceAddress, bool localOnly);
// Makes the sockets and the actors, settles the interface and the announcement, and installs
// the server's filter on the device link. aErrParam for NULL; aErrResource when any part
// failed (what was made stays for aServer_Destroy) and for a second start.
aErr aServer_Start(aServer* server);
// Stops everything the server made and frees it: aErrNone, *server NULL; aErrParam for a
// NULL address or record.
aErr aServer_Destroy(aServer** server);
// The frontend's TCP port (final after the start). aErrParam for a NULL argument.
aErr aServer_GetPort(aServer* server, uint16_t* port);
// The interface the frontend binds (final after the start). aErrParam for a NULL argument.
aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress);
// The served device's module address and model, for the announcement; no discovery query is
// answered while the model is 0. aErrParam for NULL.
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
// Drops every reply slot the server keeps (after a failed exchange of the caller's). aErrParam
// for NULL.
aErr aServer_FlushFIFO(aServer* server);
