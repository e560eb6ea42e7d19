// The update wire protocol. The targets are existing devices: the ports, the
// datagram bytes and the order of the streams are fixed.
#pragma once

#include <cstddef>

#include "moxtil/itron/Itron.h"

// Headers, each 8 bytes and a terminating zero that is never sent.
inline constexpr unsigned char VexaUdpHeader[9] = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr unsigned char VexaCommonHeader[9] = {0x07, 0x01, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00, 0x00};
inline constexpr unsigned char VexaCommonRestartHeader[9] = {0x0C, 0x01, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00, 0x00};

constexpr size_t kHeaderSize = 8;
constexpr size_t kDatagramSize = 16;

/// The broadcast destination of announce datagrams outside unicast mode.
constexpr UW kBroadcastAddress = 0xFFFFFFFFu;

// Ports from the base; they wrap modulo 65536 as the devices expect.
inline UH AnnouncePort(int base) { return static_cast<UH>(static_cast<unsigned>(base) + 10u); }
inline UH LoaderPort(int base) { return static_cast<UH>(static_cast<unsigned>(base) + 10u); }
inline UH DataPort(int base) { return static_cast<UH>(static_cast<unsigned>(base) + 11u); }

/// The announce datagram: VexaUdpHeader then VexaCommonHeader.
void MakeAnnounceDatagram(unsigned char out[kDatagramSize]);
/// The restart datagram: VexaUdpHeader then VexaCommonRestartHeader.
void MakeRestartDatagram(unsigned char out[kDatagramSize]);

// Stream pieces: file contents go out in pieces of at most this size.
constexpr size_t kPieceSize = 1024;
// The ID code: the first bytes of the ID code file.
constexpr size_t kIdCodeSize = 10;
// The target's choice between two programs: 'P' then '0' or '1'.
constexpr size_t kSelectionReplySize = 2;

// The waits of the exchange. The targets are timed to them: they stay as they are.
constexpr int kAfterIdCodeMs = 1000;      // between the ID code and the selection reply
constexpr int kSelectionReplyWaitMs = 1000;  // for the reply
constexpr int kBeforeCloseMs = 5000;      // after the program: the target finishes writing
constexpr int kEmptyIdCodeMs = 1000;      // before an empty ID code file is reported
// After our end of stream, how long a target may take to end its own before
// the connection is closed all the same.
constexpr int kPeerEndWaitMs = 1000;
/// The program index a selection reply picks: 1 for "P1", else 0.
int SelectedProgram(const unsigned char* reply, ER received);
