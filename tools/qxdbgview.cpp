// Prints the library's diagnostic lines as they arrive: binds the abstract local
// datagram socket the library sends to and prints each line with the sender's pid.
//
//   qxdbgview [--name NAME] [--count N]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    std::string name = "DbgView";
    long count = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--name" && i + 1 < argc) {
            name = argv[++i];
        } else if (arg == "--count" && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: qxdbgview [--name NAME] [--count N]\n");
            return 2;
        }
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("qxdbgview: socket");
        return 1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.size() > sizeof(addr.sun_path) - 1)
        name.resize(sizeof(addr.sun_path) - 1);
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        std::fprintf(stderr, "qxdbgview: cannot listen on \"%s\": %s\n", name.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "qxdbgview: listening on \"%s\"\n", name.c_str());
    static unsigned char buf[65536];
    for (long received = 0; count < 0 || received < count; ++received) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("qxdbgview: recv");
            return 1;
        }
        if (n < 4)
            continue;
        const uint32_t pid =
            buf[0] | (buf[1] << 8) | (buf[2] << 16) | (static_cast<uint32_t>(buf[3]) << 24);
        size_t textLen = static_cast<size_t>(n) - 4;
        const void* nul = std::memchr(buf + 4, 0, textLen);
        if (nul)
            textLen = static_cast<const unsigned char*>(nul) - (buf + 4);
        std::printf("[%u] %.*s\n", pid, static_cast<int>(textLen), buf + 4);
        std::fflush(stdout);
    }
    return 0;
}
