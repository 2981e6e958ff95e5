#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/DbgViewChannel.h"

// Receives the library's diagnostic lines on a socket name of its own, so that
// tests neither need nor disturb a running viewer.
class LogCapture {
  public:
    LogCapture() : m_previous(qx::GetDbgViewName()) {
        m_name = "qxtest-" + std::to_string(::getpid()) + "-" + std::to_string(Counter()++);
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, m_name.data(), m_name.size());
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + m_name.size()));
        timeval tv{0, 200 * 1000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        qx::SetDbgViewName(m_name);
    }
    ~LogCapture() {
        qx::SetDbgViewName(m_previous);
        ::close(m_fd);
    }

    struct Line {
        uint32_t pid;
        std::string text;
    };

    // Every line that arrives until 200 ms pass without one.
    std::vector<Line> Drain() {
        std::vector<Line> lines;
        unsigned char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n < 4)
                break;
            Line line;
            line.pid = buf[0] | (buf[1] << 8) | (buf[2] << 16) | (uint32_t(buf[3]) << 24);
            line.text.assign(reinterpret_cast<char*>(buf) + 4, static_cast<size_t>(n) - 4);
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (auto& line : Drain())
            texts.push_back(line.text);
        return texts;
    }

    // True once a line holding the fragment has arrived; lines stay seen.
    bool Contains(const std::string& fragment) {
        for (auto& line : Drain())
            m_seen.push_back(line.text);
        for (const std::string& text : m_seen) {
            if (text.find(fragment) != std::string::npos)
                return true;
        }
        return false;
    }

    const std::string& Name() const { return m_name; }

  private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }
    std::string m_previous;
    std::string m_name;
    std::vector<std::string> m_seen;
    int m_fd;
};
