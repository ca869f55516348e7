#include "LinkRecord.h"

#include "PacketHelpers.h"

namespace {

std::vector<std::vector<uint8_t>> sTake(aPacketFifoId fifo) {
  std::vector<std::vector<uint8_t>> wires;
  while (PacketPtr packet{aPacketFifo_Get(fifo)}) wires.push_back(WireBytes(packet.get()));
  return wires;
}

}  // namespace

LinkRecord::LinkRecord() {
  ref_ = sCreate(aLINK_STREAM_IDENT, 0, 0);
  if (ref_ == 0) return;
  aLink_Init(ref_, kind_.CreateStream());
  LinkPin pin(ref_);
  sChangeUseCount(pin.entry(), 1);
  link_ = pin.link();  // stays valid while this object holds the use
  aLink_ReaderBegin(link_);
}

LinkRecord::~LinkRecord() {
  if (ref_ != 0) aLink_Destroy(&ref_);
}

void LinkRecord::Feed(const std::vector<uint8_t>& bytes, uint64_t nowMs) {
  for (uint8_t byte : bytes) aLink_ReaderStep(link_, aErrNone, byte, nowMs);
}

void LinkRecord::Empty(uint64_t nowMs) { aLink_ReaderStep(link_, aErrNotReady, 0, nowMs); }

void LinkRecord::Fail(aErr code, uint64_t nowMs) { aLink_ReaderStep(link_, code, 0, nowMs); }

std::vector<std::vector<uint8_t>> LinkRecord::TakeOut() { return sTake(link_->outFifo); }

std::vector<std::vector<uint8_t>> LinkRecord::TakeIn() { return sTake(link_->inFifo); }
