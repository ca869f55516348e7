#pragma once
#include <vector>

#include "ScriptedStreamKind.h"
#include "aLinkInternal.h"

// A registered, initialised link record whose threads are never started, for driving the
// reader's per-byte step and the operations directly. Its stream is a scripted one that
// nothing reads. Released (as a last use) when destroyed.
class LinkRecord {
 public:
  LinkRecord();
  ~LinkRecord();
  LinkRecord(const LinkRecord&) = delete;
  LinkRecord& operator=(const LinkRecord&) = delete;

  aLinkRef ref() const { return ref_; }
  aLink* link() const { return link_; }

  // The reader's steps: each byte read at nowMs, an empty read, a failed read.
  void Feed(const std::vector<uint8_t>& bytes, uint64_t nowMs = 0);
  void Empty(uint64_t nowMs = 0);
  void Fail(aErr code, uint64_t nowMs = 0);

  // The wire forms waiting in the outbound and inbound FIFOs, taken out.
  std::vector<std::vector<uint8_t>> TakeOut();
  std::vector<std::vector<uint8_t>> TakeIn();

 private:
  ScriptedStreamKind kind_;
  aLinkRef ref_ = 0;
  aLink* link_ = nullptr;
};
