#pragma once
// The private part of Link, for the units of the object API.
#include <string>

#include "Link.h"
#include "aLogger.h"

namespace Tavrin::Corvantis {

struct Link::impl {
  impl(Link& owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  Link& owner;
  aLinkRef linkRef = 0;            // 0: none held
  aLogger* packetLogger = nullptr;  // the packet log's logger thread, made for one link
  aOrvexConfig config;
  // The value streams' fields (registrations, callback worker and ring, their lock) join here.
  std::string name;                // at most 1024 characters
  linkSpec* specifier = nullptr;   // owned copy; none until one is set

  aErr discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model, Link* link);
  aErr connectHelper();
  // Steps of connectHelper before the wait. An error means no link is held by this call:
  // the factory was not reached, or it gave 0.
  aErr createFromSpecifier();
  aErr linkCreateHelper(linkSpec& spec);
  aErr waitForLink(uint16_t tries);
  aErr setSpecifier(linkSpec spec);
  aErr getSpecifier(linkSpec* out);
  const char* getName() { return name.c_str(); }

  // Stops the logger thread (it reads the link by ref) before the link goes.
  void stopPacketLogger();
  // The logger's drain procedure: one record of the link's packet log to one line of the file.
  static void readDebugBuffer(void* file, uint32_t ref);
};

// Puts one packet [payload] to `address` on the link: aErrResource when it cannot be made,
// else the put's result.
aErr sPutPayload(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* payload);

// The held link of a Link (0: none), for the library's own tests.
aLinkRef heldLinkRef(const Link& link);

}  // namespace Tavrin::Corvantis
