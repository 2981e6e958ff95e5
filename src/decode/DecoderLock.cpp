#include "decode/DecoderLock.h"

namespace qx {

CCritSec& DecoderMutex() {
    // Never destroyed: a decoder may still be released while the process exits.
    static CCritSec* mutex = new CCritSec;
    return *mutex;
}

}  // namespace qx
