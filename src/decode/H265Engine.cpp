#include "decode/H265Engine.h"

#include <mutex>
#include <new>
#include <set>

extern "C" {
#include <libavutil/frame.h>
}

#include "decode/AvPictureDecoder.h"

namespace {

constexpr int kMinSide = 8;
constexpr int kMaxSide = 8192;
constexpr int kMaxRefNum = 15;

struct Engine {
    uint32_t channel;
    H265D_FreeFxn free;
    H265D_LogFxn log;
    qx::AvPictureDecoder decoder;
};

// Handles of live engines, so that a stale or foreign pointer is refused without
// being read.
std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::set<const void*>& Registry() {
    static std::set<const void*> engines;
    return engines;
}

bool IsLive(const void* handle) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    return Registry().count(handle) != 0;
}

}  // namespace

uint32_t H265D_Create(void** handle, const H265D_INIT_PARAM* param) {
    if (handle == nullptr || param == nullptr)
        return H265D_ERR_HANDLE;
    *handle = nullptr;
    if (param->MallocFxn == nullptr)
        return H265D_ERR_MALLOC_FXN;
    if (param->FreeFxn == nullptr)
        return H265D_ERR_FREE_FXN;
    if (param->LogFxn == nullptr)
        return H265D_ERR_LOG_FXN;
    const uint32_t channel = param->uiChannelID;
    if (param->iMaxWidth < kMinSide || param->iMaxWidth > kMaxSide) {
        param->LogFxn(channel, 0, "H265D_Create : width %d out of range", param->iMaxWidth);
        return H265D_ERR_WIDTH;
    }
    if (param->iMaxHeight < kMinSide || param->iMaxHeight > kMaxSide) {
        param->LogFxn(channel, 0, "H265D_Create : height %d out of range", param->iMaxHeight);
        return H265D_ERR_HEIGHT;
    }
    if (param->iMaxRefNum < 0 || param->iMaxRefNum > kMaxRefNum) {
        param->LogFxn(channel, 0, "H265D_Create : ref num %d out of range", param->iMaxRefNum);
        return H265D_ERR_REF_NUM;
    }
    if (param->eThreadType != 0 && param->eThreadType != 1) {
        param->LogFxn(channel, 0, "H265D_Create : thread type %d unknown", param->eThreadType);
        return H265D_ERR_THREAD_TYPE;
    }
    if (param->eOutputOrder != 0 && param->eOutputOrder != 1)
        param->LogFxn(channel, 1, "H265D_Create : output order %d unknown, display order used",
                      param->eOutputOrder);
    void* block = param->MallocFxn(channel, sizeof(Engine));
    if (block == nullptr)
        return H265D_ERR_ALLOC;
    auto* engine = new (block) Engine{channel, param->FreeFxn, param->LogFxn, {}};
    if (!engine->decoder.Open(qx::AvPictureDecoder::Codec::kH265)) {
        engine->~Engine();
        param->FreeFxn(channel, block);
        param->LogFxn(channel, 0, "H265D_Create : decoder not available");
        return H265D_ERR_HANDLE;
    }
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().insert(engine);
    }
    *handle = engine;
    return H265D_OK;
}

uint32_t H265D_Decode(void* handle, const H265D_INPUT* input, H265D_OUTPUT* output) {
    if (handle == nullptr || input == nullptr || output == nullptr)
        return H265D_ERR_HANDLE;
    if (!IsLive(handle))
        return H265D_ERR_NOT_AN_ENGINE;
    auto* engine = static_cast<Engine*>(handle);
    output->iBytesLeft = 0;
    if (input->flags & H265D_FLAG_FLUSH) {
        engine->decoder.Drain();
    } else if (!(input->flags & H265D_FLAG_NEXT)) {
        if (input->pStream == nullptr) {
            engine->log(engine->channel, 0, "H265D_Decode : stream is null");
            return H265D_ERR_STREAM;
        }
        engine->decoder.Send(input->pStream, input->iStreamLen, input->timestamp);
    }
    const AVFrame* picture = engine->decoder.Receive();
    if (picture == nullptr) {
        output->iPictureStatus = H265D_PICTURE_NONE;
        return H265D_NO_PICTURE;
    }
    output->iPictureStatus = H265D_PICTURE_OUT;
    output->iWidth = picture->width;
    output->iHeight = picture->height;
    output->iYStride = picture->linesize[0];
    output->iUVStride = picture->linesize[1];
    output->iFrameType = picture->pict_type == AV_PICTURE_TYPE_I ? 1 : 0;
    output->pY = picture->data[0];
    output->pU = picture->data[1];
    output->pV = picture->data[2];
    output->timestamp = picture->pts;
    return H265D_OK;
}

uint32_t H265D_Delete(void* handle) {
    if (handle == nullptr)
        return H265D_ERR_HANDLE;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        if (Registry().erase(handle) == 0)
            return H265D_ERR_NOT_AN_ENGINE;
    }
    auto* engine = static_cast<Engine*>(handle);
    const H265D_FreeFxn release = engine->free;
    const uint32_t channel = engine->channel;
    engine->~Engine();
    release(channel, handle);
    return H265D_OK;
}
