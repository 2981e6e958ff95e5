#pragma once

#include <cstddef>
#include <string>

namespace qx {

// Delivery of diagnostic lines to the viewer: one datagram per line on the local
// socket "DbgView" in the abstract namespace, made of the sender's pid (4 bytes,
// little-endian) followed by the text. Sending never blocks; with no listener, or a
// listener whose queue is full, the line is dropped.
void DbgViewSend(const char* text, size_t len);

// The abstract socket name lines go to ("DbgView" unless changed). Tests point it at
// a name of their own so that they do not race a viewer or each other.
void SetDbgViewName(const std::string& name);
std::string GetDbgViewName();

}  // namespace qx
