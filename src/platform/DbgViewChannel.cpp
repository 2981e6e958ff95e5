#include "platform/DbgViewChannel.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace qx {
namespace {

// Longest text carried by one datagram; longer lines are cut.
constexpr size_t kMaxText = 16 * 1024;

std::mutex gNameLock;
std::string gName = "DbgView";  // guarded by gNameLock

int SenderSocket() {
    // One unbound socket for the whole process; sendto() on it is thread-safe.
    static const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd;
}

}  // namespace

void SetDbgViewName(const std::string& name) {
    std::lock_guard<std::mutex> lock(gNameLock);
    gName = name;
}

std::string GetDbgViewName() {
    std::lock_guard<std::mutex> lock(gNameLock);
    return gName;
}

void DbgViewSend(const char* text, size_t len) {
    const int fd = SenderSocket();
    if (fd < 0 || text == nullptr)
        return;
    if (len > kMaxText)
        len = kMaxText;

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t addrLen;
    {
        std::lock_guard<std::mutex> lock(gNameLock);
        const size_t n = std::min(gName.size(), sizeof(addr.sun_path) - 1);
        std::memcpy(addr.sun_path + 1, gName.data(), n);  // sun_path[0] = 0: abstract
        addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    }

    std::vector<unsigned char> datagram(4 + len);
    const uint32_t pid = GetCurrentProcessId();
    datagram[0] = static_cast<unsigned char>(pid);
    datagram[1] = static_cast<unsigned char>(pid >> 8);
    datagram[2] = static_cast<unsigned char>(pid >> 16);
    datagram[3] = static_cast<unsigned char>(pid >> 24);
    std::memcpy(datagram.data() + 4, text, len);
    // Errors (no listener, queue full) mean the line is dropped, as intended.
    (void)::sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<sockaddr*>(&addr), addrLen);
}

}  // namespace qx
