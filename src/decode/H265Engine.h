#pragma once

#include <cstddef>
#include <cstdint>

// The H.265 decoding engine: four entry points and their records, the contract the
// H.265 adapter is written against.

constexpr uint32_t H265D_OK = 0;
constexpr uint32_t H265D_NO_PICTURE = 1;
constexpr uint32_t H265D_ERR_HANDLE = 0xF0401000;
constexpr uint32_t H265D_ERR_NOT_AN_ENGINE = 0xF0401001;
constexpr uint32_t H265D_ERR_ALLOC = 0xF0402000;
constexpr uint32_t H265D_ERR_WIDTH = 0xF0402001;
constexpr uint32_t H265D_ERR_HEIGHT = 0xF0402002;
constexpr uint32_t H265D_ERR_REF_NUM = 0xF0402003;
constexpr uint32_t H265D_ERR_THREAD_TYPE = 0xF0402004;
constexpr uint32_t H265D_ERR_MALLOC_FXN = 0xF0402005;
constexpr uint32_t H265D_ERR_FREE_FXN = 0xF0402006;
constexpr uint32_t H265D_ERR_LOG_FXN = 0xF0402007;
constexpr uint32_t H265D_ERR_STREAM = 0xF0402008;

// Picture status of the output record.
constexpr int32_t H265D_PICTURE_OUT = 0;
constexpr int32_t H265D_PICTURE_NONE = 2;

using H265D_MallocFxn = void* (*)(uint32_t channel, size_t size);
using H265D_FreeFxn = void (*)(uint32_t channel, void* block);
// Level 0 errors, 1 warnings.
using H265D_LogFxn = void (*)(uint32_t channel, int32_t level, const char* format, ...);

struct H265D_INIT_PARAM {
    uint32_t uiChannelID;
    int32_t iMaxWidth;
    int32_t iMaxHeight;
    int32_t iMaxRefNum;
    int32_t eThreadType;
    int32_t eOutputOrder;
    int32_t reserved;
    H265D_MallocFxn MallocFxn;
    H265D_FreeFxn FreeFxn;
    H265D_LogFxn LogFxn;
};

// Flags of the decode input: with H265D_FLAG_NEXT no unit is given and the next
// picture the last one left is asked for; with H265D_FLAG_FLUSH the stream ends and
// the pictures still held come out, one per call with H265D_FLAG_NEXT after the first.
constexpr uint32_t H265D_FLAG_NEXT = 1;
constexpr uint32_t H265D_FLAG_FLUSH = 2;

struct H265D_INPUT {
    const unsigned char* pStream;
    int32_t iStreamLen;
    int64_t timestamp;
    uint32_t flags;
    uint32_t reserved;
};

struct H265D_OUTPUT {
    uint32_t leading;
    int32_t iBytesLeft;
    // 1 for a key (intra) picture, 0 otherwise.
    int32_t iFrameType;
    uint32_t unused[2];
    int32_t iPictureStatus;
    int32_t iWidth;
    int32_t iHeight;
    int32_t iYStride;
    int32_t iUVStride;
    const unsigned char* pY;
    const unsigned char* pU;
    const unsigned char* pV;
    // The time stamp of the access unit the picture came from.
    int64_t timestamp;
};

// Creates an engine into *handle.
uint32_t H265D_Create(void** handle, const H265D_INIT_PARAM* param);
// Decodes one access unit; the picture (engine-owned, valid until the next call on
// the handle) is described in output.
uint32_t H265D_Decode(void* handle, const H265D_INPUT* input, H265D_OUTPUT* output);
uint32_t H265D_Delete(void* handle);
