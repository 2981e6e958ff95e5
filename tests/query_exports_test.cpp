// Every query, setting and overlay export: its answer before start-up, for a port nobody
// took, and for a live port; and the colour settings.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "api/PortTable.h"
#include "qxplaylib.h"

namespace {

struct Call {
    const char* name;
    double (*call)(int32_t);
};

// The exports that answer alike, with their answers before start-up, for an unknown
// port and for a live one.
struct Answers {
    double notInitialised, unknown, live;
    std::vector<Call> calls;
};

// Serves as any callback: all of them name the port first.
constexpr auto kNone = [](int32_t, auto...) {};

int a, b, c, d;
uint32_t u, v, w;
uint8_t byte;

#define QX_CALL(call) (Call{#call, [](int32_t p) -> double { return QxPlay_##call; }})

template <typename... Calls>
Answers Alike(double notInitialised, double unknown, double live, Calls... calls) {
    return {notInitialised, unknown, live, {calls...}};
}

std::vector<Answers> Table() {
    return {
        Alike(0, 0, 1, QX_CALL(GetPictureSize(p, &a, &b)), QX_CALL(GetColor(p, 0, &a, &b, &c, &d)),
              QX_CALL(SetColor(p, 0, 64, 64, 64, 64)), QX_CALL(SetFileFrameCnt(p, 0)),
              QX_CALL(SetDisplayCallBack(p, kNone)), QX_CALL(SetDecCallBack(p, kNone)),
              QX_CALL(SetDecMsgCallBack(p, kNone, nullptr)),
              QX_CALL(SetExceptionFilter(p, kNone, nullptr)),
              QX_CALL(SetFileEndCallback(p, kNone, nullptr)), QX_CALL(SetTimerType(p, 0, 0)),
              QX_CALL(GetTimerType(p, &u, &v)), QX_CALL(SetDecCBStream(p, 1)),
              QX_CALL(SetDecCallBackMend(p, kNone, nullptr)),
              QX_CALL(SetAudioCallBack(p, nullptr, nullptr)), QX_CALL(SetEncChangeMsg(p, 0, 0)),
              QX_CALL(SetEncTypeChangeCallBack(p, nullptr, nullptr)), QX_CALL(ThrowBFrameNum(p, 0)),
              QX_CALL(RegisterDrawFun(p, nullptr, nullptr)),
              QX_CALL(SetVerifyCallBack(p, 0, 0, nullptr, nullptr)),
              QX_CALL(GetOriginalFrameCallBack(p, 0, nullptr, nullptr)),
              QX_CALL(GetFileSpecialAttr(p, &u, &v, &w)), QX_CALL(PlaySkipErrorData(p, 0)),
              QX_CALL(CheckDiscontinueFrameNum(p, 0)), QX_CALL(StopRecord(p)),
              QX_CALL(SetRectangle(p, 0, 0, 1, 1, 0, 0, 0, 0)), QX_CALL(GetWaterMask(p, nullptr)),
              QX_CALL(SetWaterMaskCB(p, nullptr, nullptr)), QX_CALL(SetPlayMode(p, 1)),
              QX_CALL(CaptureJpegPicture(p, "/nonexistent/x.jpg"))),
        Alike(0, 0, 0, QX_CALL(GetCurrentFrameNum(p)), QX_CALL(GetPlayedTime(p)),
              QX_CALL(GetFileTime(p)), QX_CALL(GetSourceBufferRemain(p)), QX_CALL(GetVolume(p)),
              QX_CALL(SetVolume(p, 100)), QX_CALL(SetDecCallBack(p, nullptr)),
              QX_CALL(GetRecordSize(p)), QX_CALL(GetPlayedTimeEx(p)), QX_CALL(GetDisplayType(p)),
              QX_CALL(InputData(p, &byte, 1))),
        Alike(1, 1, 1, QX_CALL(PlaySoundShare(p)), QX_CALL(RefreshPlay(p))),
        Alike(-19, -19, -19, QX_CALL(GetPlayStatus(p))),
        Alike(-19, 0, 1, QX_CALL(SetPlayStatus(p, -19))),
        Alike(0, -1, 25, QX_CALL(GetCurrentFrameRate(p))),
        Alike(0, -1, 0, QX_CALL(GetPlayedFrames(p)), QX_CALL(GetPlaySize(p)),
              QX_CALL(GetStreamOpenMode(p))),
        Alike(-1, -1, 0, QX_CALL(GetLastError(p))),
        Alike(-1, 0, 0, QX_CALL(GetPlayPos(p)), QX_CALL(GetFileTotalFrames(p))),
    };
}

TEST(QueryExports, AnswerBeforeStartUpForUnknownPortsAndForLivePorts) {
    QxPlay_Destory();
    for (const Answers& answers : Table())
        for (const Call& call : answers.calls)
            EXPECT_EQ(call.call(5), answers.notInitialised) << call.name << " before start-up";
    ASSERT_EQ(QxPlay_Init(), 1);
    int32_t port = -1;
    ASSERT_EQ(QxPlay_GetPort(&port), 1);
    const int32_t unknown = port == 150 ? 151 : 150;
    for (const Answers& answers : Table()) {
        for (const Call& call : answers.calls) {
            EXPECT_EQ(call.call(unknown), answers.unknown) << call.name << " on an unknown port";
            EXPECT_EQ(call.call(-3), answers.unknown) << call.name << " on a negative port";
            EXPECT_EQ(call.call(port), answers.live) << call.name << " on a live port";
        }
    }
    char text[50] = "x";
    EXPECT_EQ(QxPlay_GetWaterMask(port, text), 1);
    EXPECT_EQ(text[0], '\0') << "no watermark yet";

    // Colour settings are kept raw; what the presenter uses is derived from them and
    // held to the range of its tables.
    ASSERT_EQ(QxPlay_SetColor(port, 0, 0, 0, 0, 0), 1);
    a = b = c = d = -1;
    ASSERT_EQ(QxPlay_GetColor(port, 0, &a, &b, &c, &d), 1);
    EXPECT_EQ(a + b + c + d, 0);
    EXPECT_EQ(QxPlay_GetColor(port, 0, nullptr, nullptr, nullptr, &d), 1) << "nulls skipped";
    const auto values = [](const Presenter::ColorAdjust& adjust) {
        return std::make_tuple(adjust.brightness, adjust.contrast, adjust.saturation, adjust.hue);
    };
    const std::pair<int, Presenter::ColorAdjust> cases[] = {
        {0, {-255, 0, 0, -180}}, {1000000, {255, 255, 127, 180}}, {64, {0, 128, 64, 0}}};
    qx::api::Lookup lookup;
    qx::api::SessionRef session = qx::api::Acquire(port, "test", &lookup);
    ASSERT_TRUE(session);
    for (const auto& [set, expected] : cases) {
        ASSERT_EQ(QxPlay_SetColor(port, 0, set, set, set, set), 1);
        EXPECT_EQ(values(session->Show().ColorAdjustment()), values(expected)) << set;
    }
    session.reset();
    QxPlay_FreePort(port);
    QxPlay_Destory();
}

}  // namespace
