// The networking layer's own error numbers (negative) and the event and size
// constants shared by the runtime, the socket layer and NetSimple. Positive
// error numbers are WinSock numbers (platform/winsock_errors.h).
#pragma once

#include <cstdint>

namespace vm::net {

inline constexpr int32_t kNetOk = 0;
inline constexpr int32_t kNetErrNotActive = -1;         // runtime not active
inline constexpr int32_t kNetErrBadDataLength = -4;     // bad data length / structure size
inline constexpr int32_t kNetErrNoRequest = -13;        // no waiting packet
inline constexpr int32_t kNetErrAddressNotFound = -20;  // host not resolvable or address missing
inline constexpr int32_t kNetErrBadParameters = -22;    // second phase without the first
inline constexpr int32_t kNetErrTooManySockets = -29;   // no free message number
inline constexpr int32_t kNetErrQueue = -30;            // queue add failed
inline constexpr int32_t kNetErrCouldNotLoad = -31;     // socket library not started
inline constexpr int32_t kNetErrHostOrPortNotSet = -33;
inline constexpr int32_t kNetErrConnectionNotFound = -34;  // connection not found or closing
inline constexpr int32_t kNetErrNotOpen = -36;
inline constexpr int32_t kNetErrCouldNotOpen = -39;
inline constexpr int32_t kNetErrNoThread = -49;
// Secured connections and login (rows beyond the original list).
inline constexpr int32_t kNetErrNoStartTls = -60;     // STARTTLS required, not offered
inline constexpr int32_t kNetErrTlsHandshake = -61;   // handshake failed (OpenSSL's reason)
inline constexpr int32_t kNetErrTlsUntrusted = -62;   // certificate chain not trusted
inline constexpr int32_t kNetErrTlsWrongName = -63;   // certificate does not name the host
inline constexpr int32_t kNetErrNoUsableLogin = -64;  // neither AUTH PLAIN nor AUTH LOGIN
inline constexpr int32_t kNetErrLoginInClear = -65;   // login would leave unencrypted

// Largest payload of one packet.
inline constexpr int32_t kMaxBinData = 16384;

// Packet types of a received packet.
inline constexpr int32_t kPacketNewConnection = 2;
inline constexpr int32_t kPacketData = 3;
inline constexpr int32_t kPacketIgnore = 4;
inline constexpr int32_t kPacketRemoteClosed = 5;
inline constexpr int32_t kPacketPhaseOneDone = 6;
// Not received data: the connection's send queue has drained to the level its
// owner asked for (NetSimple::NotifyWhenQueuedBelow).
inline constexpr int32_t kPacketQueueHasRoom = 7;

// Socket events as the notification thread reports them (WinSock's FD_* bits).
inline constexpr uint16_t kFdRead = 0x01;
inline constexpr uint16_t kFdWrite = 0x02;
inline constexpr uint16_t kFdAccept = 0x08;
inline constexpr uint16_t kFdConnect = 0x10;
inline constexpr uint16_t kFdClose = 0x20;

// Close phases of the socket layer's close.
inline constexpr int32_t kPhaseOne = 1;
inline constexpr int32_t kPhaseTwo = 2;
inline constexpr int32_t kPhaseAbort = -1;

// Message numbers of the callback window.
inline constexpr uint32_t kMsgQueryEndSession = 0x0011;
inline constexpr uint32_t kMsgEndSession = 0x0016;
inline constexpr uint32_t kMsgStreamListen = 3105;
inline constexpr uint32_t kMsgDatagram = 3106;
inline constexpr uint32_t kMsgPeerAcceptedFirst = 4096;
inline constexpr uint32_t kMsgPeerAcceptedLast = 4352;
inline constexpr uint32_t kMsgPeerSendFirst = 4608;
inline constexpr uint32_t kMsgPeerSendLast = 4864;
inline constexpr uint32_t kMsgSimpleClientFirst = 6120;
inline constexpr uint32_t kMsgSimpleClientLast = 7120;
inline constexpr uint32_t kMsgSimpleListenFirst = 8120;
inline constexpr uint32_t kMsgSimpleListenLast = 9120;
inline constexpr uint32_t kMsgSimpleServerFirst = 10120;
inline constexpr uint32_t kMsgSimpleServerLast = 11120;

// Event posted to the loader's thread when the callback window is up.
inline constexpr int32_t kEventCallBackWindowHappy = 3107;

}  // namespace vm::net
