// Every query and setting export: its answer before start-up, for a port nobody took,
// and for a live port; and the colour and callback settings.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "api/PortTable.h"
#include "qxplaylib.h"

namespace {

struct Row {
    const char* name;
    std::function<double(int32_t)> call;
    double notInitialised;
    double unknown;
    double live;
};

void NoMessage(int32_t, int32_t, void*) {}
void NoDisplay(int32_t, char*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t) {}
void NoDecode(int32_t, char*, int32_t, const QxFrameInfo*, int32_t, int32_t) {}
void NoFileEnd(int32_t, void*) {}

std::vector<Row> Rows() {
    int a = 0, b = 0, c = 0, d = 0;
    uint32_t u = 0, v = 0, w = 0;
    return {
        {"GetPlayStatus", [](int32_t p) { return QxPlay_GetPlayStatus(p); }, -19, -19, -19},
        {"GetCurrentFrameRate", [](int32_t p) { return QxPlay_GetCurrentFrameRate(p); }, 0, -1, 25},
        {"GetPictureSize", [&](int32_t p) { return QxPlay_GetPictureSize(p, &a, &b); }, 0, 0, 1},
        {"GetCurrentFrameNum", [](int32_t p) { return QxPlay_GetCurrentFrameNum(p); }, 0, 0, 0},
        {"GetPlayedFrames", [](int32_t p) { return QxPlay_GetPlayedFrames(p); }, 0, -1, 0},
        {"GetPlayPos", [](int32_t p) { return QxPlay_GetPlayPos(p); }, -1.0, 0.0, 0.0},
        {"GetPlayedTime", [](int32_t p) { return QxPlay_GetPlayedTime(p); }, 0, 0, 0},
        {"GetFileTime", [](int32_t p) { return QxPlay_GetFileTime(p); }, 0, 0, 0},
        {"GetFileTotalFrames", [](int32_t p) { return QxPlay_GetFileTotalFrames(p); }, -1, 0, 0},
        {"GetSourceBufferRemain", [](int32_t p) { return QxPlay_GetSourceBufferRemain(p); }, 0, 0,
         0},
        {"GetColor", [&](int32_t p) { return QxPlay_GetColor(p, 0, &a, &b, &c, &d); }, 0, 0, 1},
        {"GetVolume", [](int32_t p) { return QxPlay_GetVolume(p); }, 0, 0, 0},
        {"SetColor", [](int32_t p) { return QxPlay_SetColor(p, 0, 64, 64, 64, 64); }, 0, 0, 1},
        {"SetVolume", [](int32_t p) { return QxPlay_SetVolume(p, 100); }, 0, 0, 0},
        {"SetFileFrameCnt", [](int32_t p) { return QxPlay_SetFileFrameCnt(p, 0); }, 0, 0, 1},
        {"SetPlayStatus", [](int32_t p) { return QxPlay_SetPlayStatus(p, -19); }, -19, 0, 1},
        {"SetDisplayCallBack", [](int32_t p) { return QxPlay_SetDisplayCallBack(p, NoDisplay); }, 0,
         0, 1},
        {"SetDecCallBack", [](int32_t p) { return QxPlay_SetDecCallBack(p, NoDecode); }, 0, 0, 1},
        {"SetDecCallBack(null)", [](int32_t p) { return QxPlay_SetDecCallBack(p, nullptr); }, 0, 0,
         0},
        {"SetDecMsgCallBack",
         [](int32_t p) { return QxPlay_SetDecMsgCallBack(p, NoMessage, nullptr); }, 0, 0, 1},
        {"SetExceptionFilter",
         [](int32_t p) { return QxPlay_SetExceptionFilter(p, NoMessage, nullptr); }, 0, 0, 1},
        {"SetFileEndCallback",
         [](int32_t p) { return QxPlay_SetFileEndCallback(p, NoFileEnd, nullptr); }, 0, 0, 1},
        {"SetTimerType", [](int32_t p) { return QxPlay_SetTimerType(p, 0, 0); }, 0, 0, 1},
        {"GetTimerType", [&](int32_t p) { return QxPlay_GetTimerType(p, &u, &v); }, 0, 0, 1},
        {"SetDecCBStream", [](int32_t p) { return QxPlay_SetDecCBStream(p, 1); }, 0, 0, 1},
        {"SetDecCallBackMend",
         [](int32_t p) { return QxPlay_SetDecCallBackMend(p, NoDecode, nullptr); }, 0, 0, 1},
        {"SetAudioCallBack", [](int32_t p) { return QxPlay_SetAudioCallBack(p, nullptr, nullptr); },
         0, 0, 1},
        {"SetEncChangeMsg", [](int32_t p) { return QxPlay_SetEncChangeMsg(p, 0, 0); }, 0, 0, 1},
        {"SetEncTypeChangeCallBack",
         [](int32_t p) { return QxPlay_SetEncTypeChangeCallBack(p, nullptr, nullptr); }, 0, 0, 1},
        {"ThrowBFrameNum", [](int32_t p) { return QxPlay_ThrowBFrameNum(p, 0); }, 0, 0, 1},
        {"RegisterDrawFun", [](int32_t p) { return QxPlay_RegisterDrawFun(p, nullptr, nullptr); },
         0, 0, 1},
        {"SetVerifyCallBack",
         [](int32_t p) { return QxPlay_SetVerifyCallBack(p, 0, 0, nullptr, nullptr); }, 0, 0, 1},
        {"GetOriginalFrameCallBack",
         [](int32_t p) { return QxPlay_GetOriginalFrameCallBack(p, 0, nullptr, nullptr); }, 0, 0,
         1},
        {"GetFileSpecialAttr", [&](int32_t p) { return QxPlay_GetFileSpecialAttr(p, &u, &v, &w); },
         0, 0, 1},
        {"PlaySkipErrorData", [](int32_t p) { return QxPlay_PlaySkipErrorData(p, 0); }, 0, 0, 1},
        {"CheckDiscontinueFrameNum",
         [](int32_t p) { return QxPlay_CheckDiscontinueFrameNum(p, 0); }, 0, 0, 1},
        {"GetRecordSize", [](int32_t p) { return QxPlay_GetRecordSize(p); }, 0, 0, 0},
        {"StopRecord", [](int32_t p) { return QxPlay_StopRecord(p); }, 0, 0, 1},
        {"PlaySoundShare", [](int32_t p) { return QxPlay_PlaySoundShare(p); }, 1, 1, 1},
        {"GetPlayedTimeEx", [](int32_t p) { return QxPlay_GetPlayedTimeEx(p); }, 0, 0, 0},
        {"RefreshPlay", [](int32_t p) { return QxPlay_RefreshPlay(p); }, 1, 1, 1},
        {"GetDisplayType", [](int32_t p) { return QxPlay_GetDisplayType(p); }, 0, 0, 0},
    };
}

TEST(QueryExports, AnswerBeforeStartUpForUnknownPortsAndForLivePorts) {
    QxPlay_Destory();
    for (const Row& row : Rows())
        EXPECT_EQ(row.call(5), row.notInitialised) << row.name << " before start-up";
    ASSERT_EQ(QxPlay_Init(), 1);
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    const int32_t unknown = port == 150 ? 151 : 150;
    for (const Row& row : Rows()) {
        EXPECT_EQ(row.call(unknown), row.unknown) << row.name << " on an unknown port";
        EXPECT_EQ(row.call(-3), row.unknown) << row.name << " on a negative port";
        EXPECT_EQ(row.call(port), row.live) << row.name << " on a live port";
    }
    QxPlay_FreePort(port);
    QxPlay_Destory();
}

TEST(QueryExports, ColourSettingsAreKeptRawAndDerivedWithinRange) {
    ASSERT_EQ(QxPlay_Init(), 1);
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    ASSERT_EQ(QxPlay_SetColor(port, 0, 0, 0, 0, 0), 1);
    int b = -1, c = -1, s = -1, h = -1;
    ASSERT_EQ(QxPlay_GetColor(port, 0, &b, &c, &s, &h), 1);
    EXPECT_EQ(b + c + s + h, 0);
    // Null pointers are skipped.
    EXPECT_EQ(QxPlay_GetColor(port, 0, nullptr, nullptr, nullptr, &h), 1);
    Presenter::ColorAdjust adjust;
    {
        qx::api::Lookup lookup;
        const qx::api::SessionRef session = qx::api::Acquire(port, "test", &lookup);
        ASSERT_TRUE(session);
        adjust = session->Show().ColorAdjustment();
        EXPECT_EQ(adjust.brightness, -255) << "4 * 0 - 256, held to the table's range";
        EXPECT_EQ(adjust.contrast, 0);
        EXPECT_EQ(adjust.hue, -180);
        ASSERT_EQ(QxPlay_SetColor(port, 0, 1000000, 1000000, 1000000, 1000000), 1);
        adjust = session->Show().ColorAdjustment();
        EXPECT_EQ(adjust.brightness, 255);
        EXPECT_EQ(adjust.contrast, 255);
        EXPECT_EQ(adjust.saturation, 127);
        EXPECT_EQ(adjust.hue, 180);
        ASSERT_EQ(QxPlay_SetColor(port, 0, 64, 64, 64, 64), 1);
        adjust = session->Show().ColorAdjustment();
        EXPECT_EQ(adjust.brightness, 0);
        EXPECT_EQ(adjust.contrast, 128);
        EXPECT_EQ(adjust.saturation, 64);
        EXPECT_EQ(adjust.hue, 0);
    }
    QxPlay_FreePort(port);
    QxPlay_Destory();
}

}  // namespace
