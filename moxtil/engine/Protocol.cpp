#include "moxtil/engine/Protocol.h"

#include <cstring>

void MakeAnnounceDatagram(unsigned char out[kDatagramSize]) {
  std::memcpy(out, VexaUdpHeader, kHeaderSize);
  std::memcpy(out + kHeaderSize, VexaCommonHeader, kHeaderSize);
}

void MakeRestartDatagram(unsigned char out[kDatagramSize]) {
  std::memcpy(out, VexaUdpHeader, kHeaderSize);
  std::memcpy(out + kHeaderSize, VexaCommonRestartHeader, kHeaderSize);
}

int SelectedProgram(const unsigned char* reply, ER received) {
  // One receive decides: a reply split over two receives picks the first program.
  if (received == static_cast<ER>(kSelectionReplySize) && reply[0] == 'P' && reply[1] == '1') return 1;
  return 0;
}
