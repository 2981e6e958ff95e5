#pragma once

#include <cstdio>
#include <memory>

namespace qx {

// A C stdio file that closes itself.
struct StdioFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioFileCloser>;

}  // namespace qx
