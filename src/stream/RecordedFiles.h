#pragma once

#include <list>
#include <string>

#include "stream/PacketFormat.h"

// Recorded files: the packet stream as it came, with no header, index or footer.
namespace qx {

// Appends (or, with overwrite, writes anew) one packet: header, nal_len payload bytes,
// trailer. Nothing happens when the file cannot be opened.
void WritePESFile(const std::string& path, H264_VAO packet, bool overwrite);
// Every whole packet of the file that a marker follows, in file order; each entry owns
// its payload (delete[]).
std::list<H264_VAO> ReadPESFile(const std::string& path);
// a x b bytes of Y, then a x c / 2 bytes of U and of V.
void WriteYV12File(const std::string& path, const unsigned char* y, const unsigned char* u,
                   const unsigned char* v, int a, int b, int c, bool overwrite);
bool IsExitsFile(const std::string& path);

}  // namespace qx
