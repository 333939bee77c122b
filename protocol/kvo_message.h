// Serialising datapacket messages into gateway frames and parsing frame
// bodies back into messages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datapacket.pro.pb.h"
#include "framework/tl_buffer.h"
#include "protocol/kvo_packet.h"

// Message setters must never see a null C text: a null pointer is stored
// as an empty text.
inline const char* KvoText(const char* text) { return text ? text : ""; }

// Bytes a frame of `message` takes (header included), or 0 when its body is
// too large for a frame.
uint64_t KvoMessageFrameSize(const google::protobuf::MessageLite& message);

// Writes the frame of `message` with packet type `type` into `out`, which
// holds `capacity` bytes. *written gets the frame length.
uint32_t KvoSerializeFrameTo(uint16_t type, const google::protobuf::MessageLite& message, uint8_t* out, size_t capacity,
                             size_t* written);

// Appends the frame of `message` with packet type `type` to `out`.
uint32_t KvoSerializeFrame(uint16_t type, const google::protobuf::MessageLite& message, corvane::CTLSmartBuffer& out);

// Parses a frame body. An empty body gives the message at its defaults.
// On failure the fields read before the fault stay set, as the protobuf
// runtime leaves them, and KVO_FRAME_E_PARSE is returned.
uint32_t KvoParseBody(const void* body, size_t len, google::protobuf::MessageLite& message);

// Checks a whole frame (KvoCheckFrame) and parses its body. *type, when
// given, gets the packet type of a well-formed frame even when its body does
// not parse.
uint32_t KvoParseFrame(const void* frame, size_t len, google::protobuf::MessageLite& message, uint16_t* type = nullptr);
