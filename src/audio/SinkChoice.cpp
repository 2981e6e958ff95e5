#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "audio/AlsaSink.h"
#include "audio/AudioSink.h"
#include "audio/SilentSink.h"
#include "audio/WavFileSink.h"
#include "log/Log.h"

namespace qx::audio {

namespace {

std::mutex& ChoiceMutex() {
    static std::mutex mutex;
    return mutex;
}

// guarded by ChoiceMutex()
std::string g_outputFile;
int g_filesOpened = 0;
std::string g_lastSink;
bool g_silentSaid = false;
SinkFactory g_factory;

std::string NumberedPath(const std::string& path, int number) {
    if (number <= 1)
        return path;
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    const std::string suffix = "-" + std::to_string(number);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

}  // namespace

std::unique_ptr<AudioSink> OpenSink(const PcmFormat& format) {
    std::lock_guard<std::mutex> lock(ChoiceMutex());
    if (g_factory) {
        std::unique_ptr<AudioSink> sink = g_factory();
        if (sink && sink->Open(format)) {
            g_lastSink = sink->Name();
            return sink;
        }
        return nullptr;
    }
    // A file set in the process wins over the one the environment names.
    const char* variable = std::getenv("QXPLAY_AUDIO_OUT");
    const std::string outputFile =
        !g_outputFile.empty() ? g_outputFile : (variable != nullptr ? variable : "");
    if (!outputFile.empty()) {
        auto sink = std::make_unique<WavFileSink>(NumberedPath(outputFile, ++g_filesOpened));
        if (sink->Open(format)) {
            g_lastSink = sink->Name();
            return sink;
        }
    }
    auto device = std::make_unique<AlsaSink>();
    if (device->Open(format)) {
        g_lastSink = device->Name();
        return device;
    }
    if (!g_silentSaid) {
        g_silentSaid = true;
        qx::log::DbgviewLog(115, "%s", "no sound device: sound plays into the silent sink");
    }
    auto silent = std::make_unique<SilentSink>();
    silent->Open(format);
    g_lastSink = silent->Name();
    return silent;
}

void SetOutputFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(ChoiceMutex());
    g_outputFile = path;
    g_filesOpened = 0;
}

void SetSinkFactory(SinkFactory factory) {
    std::lock_guard<std::mutex> lock(ChoiceMutex());
    g_factory = std::move(factory);
}

std::string LastSinkName() {
    std::lock_guard<std::mutex> lock(ChoiceMutex());
    return g_lastSink;
}

}  // namespace qx::audio
