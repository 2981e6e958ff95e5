// Arbitrary bytes as a recorded file: the packet-file reader and a session's scan of a
// file's start time, duration and frame count. The file lives in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "log/RecH264Data.h"
#include "session/DDrawSession.h"

namespace {

// A memory file holding the input, reachable by name until it goes out of scope.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) : m_fd(::memfd_create("qxfuzz", 0)) {
        size_t done = 0;
        while (m_fd >= 0 && done < size) {
            const ssize_t n = ::write(m_fd, data + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return m_fd >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

  private:
    int m_fd;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile file(data, size);
    if (!file.ok())
        return 0;
    std::list<H264_VAO> packets = RecH264Data::ReadPESFile(file.path());
    for (H264_VAO& packet : packets) {
        if (packet.param.nal_len > 0 && packet.data != nullptr) {
            // Every payload must hold the length its header claims.
            volatile unsigned char last = packet.data[packet.param.nal_len - 1];
            (void)last;
        }
        delete[] packet.data;
    }

    auto session = std::make_shared<DDrawSession>();
    session->SetFileName(file.path());
    if (session->LoadFileInfo() && (session->FileSeconds() <= 0 || session->FileFrameCount() < 0))
        __builtin_trap();
    return 0;
}
