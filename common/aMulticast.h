#pragma once
// A small UDP multicast endpoint on one interface: a receiver bound to the group's port, or a
// sender to the group. Link servers answer loopback discovery with it.
#include <cstdint>

struct aMulticast;

#define aMULTICAST_RECEIVER 0
#define aMULTICAST_SENDER 1

// A new endpoint for the group (IPv4, network byte order) and port on the interface (0 or
// 127.0.0.1 mean 127.0.0.1). A receiver binds the port without address reuse, so a second
// receiver on the same port fails. Receives wait 1 s at most. NULL on any failure, or for a
// mode other than receiver or sender.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port, uint8_t mode);
// Bytes sent; -1 on a send error, -2 for NULL, -3 when the endpoint is not a sender.
int aMulticast_Send(aMulticast* endpoint, const void* data, uint32_t length);
// Bytes received (a longer datagram is cut to size); -1 on time-out or error, -2 for NULL, -3
// when the endpoint is not a receiver.
int aMulticast_Receive(aMulticast* endpoint, void* buffer, uint32_t size);
// Closes and frees the endpoint and clears the pointer: 0, or -2 for a NULL address or record.
int aMulticast_Destroy(aMulticast** endpoint);
// The endpoint's socket, to wait for readability; -1 for NULL.
int aMulticast_Socket(const aMulticast* endpoint);
