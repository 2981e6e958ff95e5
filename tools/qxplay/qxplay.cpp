// qxplay: plays a vendor packet file or a live packet stream on standard input in a
// window of its own. A host of the library's C interface and nothing else: what it
// shows of the playback comes from the port's statistics.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <X11/keysym.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PacketScan.h"
#include "WindowCheck.h"
#include "qxplaylib.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: qxplay [options] FILE|-\n"
    "\n"
    "Plays a packet file (the library reads and paces it) or, with -, a live packet\n"
    "stream on standard input.\n"
    "\n"
    "  --live               push FILE in real time as a camera would (live mode)\n"
    "  --push               push FILE as fast as the library takes it (stream mode)\n"
    "  --record FILE        record what plays into FILE (key r toggles recording)\n"
    "  --keys T:K,...       press key K at T seconds (space, f, s, ., b, m, r, c, j, q,\n"
    "                       left, right), for unattended runs\n"
    "  --renderer R         auto, gl or x11 (auto: what the library chose)\n"
    "  --size WxH           window size (the picture size once known)\n"
    "  --verify             compare the window with the pictures shown; exit 1 on a mismatch\n"
    "  --sound              sound on from the start (key m toggles it)\n"
    "  --audio-out FILE     sound into a WAV file instead of the sound device (sound on)\n"
    "  --cache MS           live jitter buffer in milliseconds (the library's default)\n"
    "  --seconds S          quit after S seconds\n"
    "\n"
    "keys: space pause, f faster, s slower, . single step, b back, left/right seek 10 s,\n"
    "      m sound, r record, c BMP snapshot, j JPEG snapshot, q quit\n";

struct Options {
    std::string input;
    bool live = false;
    std::string renderer = "auto";
    int width = 0;
    int height = 0;
    bool verify = false;
    double seconds = 0;
    int cacheMs = -1;
    bool sound = false;
    std::string audioOut;
    bool push = false;
    std::string record;
    std::vector<std::pair<double, char>> keys;
};

char KeyCode(const std::string& name) {
    if (name == "space")
        return ' ';
    if (name == "left")
        return 'L';
    if (name == "right")
        return 'R';
    return name.size() == 1 ? name[0] : 0;
}

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "qxplay: " << problem << "\n\n" << kUsage;
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(arg + " wants a value");
            return argv[++i];
        };
        if (arg == "--live") {
            options.live = true;
        } else if (arg == "--renderer") {
            options.renderer = value();
            if (options.renderer != "auto" && options.renderer != "gl" && options.renderer != "x11")
                Usage("--renderer is auto, gl or x11");
        } else if (arg == "--size") {
            if (std::sscanf(value().c_str(), "%dx%d", &options.width, &options.height) != 2 ||
                options.width <= 0 || options.height <= 0)
                Usage("--size wants WxH");
        } else if (arg == "--verify") {
            options.verify = true;
        } else if (arg == "--push") {
            options.push = true;
        } else if (arg == "--record") {
            options.record = value();
        } else if (arg == "--keys") {
            std::stringstream list(value());
            std::string item;
            while (std::getline(list, item, ',')) {
                const size_t colon = item.find(':');
                const char key = colon == std::string::npos ? 0 : KeyCode(item.substr(colon + 1));
                if (key == 0)
                    Usage("--keys wants T:KEY items, not '" + item + "'");
                options.keys.emplace_back(std::atof(item.substr(0, colon).c_str()), key);
            }
        } else if (arg == "--sound") {
            options.sound = true;
        } else if (arg == "--audio-out") {
            options.audioOut = value();
            options.sound = true;
        } else if (arg == "--cache") {
            options.cacheMs = std::atoi(value().c_str());
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value().c_str());
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else if (options.input.empty()) {
            options.input = arg;
        } else {
            Usage("one input only");
        }
    }
    if (options.input.empty())
        Usage("no input");
    return options;
}

std::string CodecName(int codec) {
    if (codec == QXPLAY_CODEC_H264)
        return "H.264";
    if (codec == QXPLAY_CODEC_H265)
        return "H.265";
    return "?";
}

QxPortStats Stats(int32_t port) {
    QxPortStats stats{};
    stats.size = sizeof stats;
    QxPlay_GetPortStats(port, &stats);
    return stats;
}

// The state shared by the feeding thread, the library's callback and the window loop.
struct Playback {
    int32_t port = 0;
    std::atomic<bool> quit{false};
    std::atomic<bool> fedAll{false};
    std::atomic<bool> ended{false};
    // Pictures handed to the library, or those the file holds.
    std::atomic<int64_t> fed{0};
    bool recording = false;
    std::string recordName;
};

// The display callback has no user pointer: the one check of this process.
qxplay::WindowCheck* g_windowCheck = nullptr;

// The library hands over one picture per registration: the last call of each (the
// RGB copy) asks for the next.
void OnDisplay(int32_t port, char* buffer, int32_t, int32_t width, int32_t height, int32_t,
               int32_t type, int32_t) {
    if (type == 0 && g_windowCheck != nullptr)
        g_windowCheck->NoteShown(reinterpret_cast<const uint8_t*>(buffer), width, height);
    if (type == 1)
        QxPlay_SetDisplayCallBack(port, &OnDisplay);
}

// Offers one packet until the library takes it.
bool Give(Playback& playback, const uint8_t* data, const qxtools::PacketSpan& span) {
    while (!playback.quit) {
        if (QxPlay_InputData(playback.port, const_cast<uint8_t*>(data),
                             static_cast<uint32_t>(span.size)) != 0) {
            if (qxtools::CarriesPicture(data, span))
                ++playback.fed;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void FeedFile(Playback& playback, const std::vector<uint8_t>& bytes, bool live) {
    const std::vector<qxtools::PacketSpan> spans = qxtools::ScanPackets(bytes.data(), bytes.size());
    const Clock::time_point start = Clock::now();
    int64_t firstPts = -1;
    for (size_t i = 0; i < spans.size() && !playback.quit; ++i) {
        const qxtools::PacketSpan& span = spans[i];
        if (live) {
            // As a camera sends: each packet when its time stamp comes due.
            if (firstPts < 0)
                firstPts = span.pts;
            std::this_thread::sleep_until(start + std::chrono::microseconds(span.pts - firstPts));
        }
        if (!Give(playback, bytes.data() + span.offset, span))
            break;
    }
    playback.fedAll = true;
}

void FeedStdin(Playback& playback) {
    std::vector<uint8_t> pending;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0 || playback.quit)
            break;
        pending.insert(pending.end(), chunk, chunk + got);
        // Whole packets only, one a call, as a live source hands them over.
        const std::vector<qxtools::PacketSpan> spans =
            qxtools::ScanPackets(pending.data(), pending.size());
        size_t used = 0;
        for (const qxtools::PacketSpan& span : spans) {
            Give(playback, pending.data() + span.offset, span);
            used = span.offset + span.size;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
    playback.fedAll = true;
}

void OnMessage(int32_t port, int32_t message, void* user) {
    static_cast<Playback*>(user)->ended = true;
}

class PlayerWindow {
  public:
    explicit PlayerWindow(Display* display, int width, int height) : m_display(display) {
        const int screen = DefaultScreen(display);
        m_window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0,
                                       static_cast<unsigned>(width), static_cast<unsigned>(height),
                                       0, 0, BlackPixel(display, screen));
        m_close = XInternAtom(display, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(display, m_window, &m_close, 1);
        XSelectInput(display, m_window, KeyPressMask | StructureNotifyMask);
        XStoreName(display, m_window, "qxplay");
        XMapWindow(display, m_window);
        XEvent event;
        do
            XNextEvent(display, &event);
        while (event.type != MapNotify);
    }
    ~PlayerWindow() { XDestroyWindow(m_display, m_window); }

    Window id() const { return m_window; }
    void SetTitle(const std::string& title) {
        XStoreName(m_display, m_window, title.c_str());
        XFlush(m_display);
    }
    void Resize(int width, int height) {
        XResizeWindow(m_display, m_window, static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
        XFlush(m_display);
    }

    // The key pressed within the wait, 0 for none, 'q' when the window is closed.
    char NextKey(int waitMs) {
        if (XPending(m_display) == 0) {
            pollfd fd{ConnectionNumber(m_display), POLLIN, 0};
            poll(&fd, 1, waitMs);
        }
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type == ClientMessage &&
                static_cast<Atom>(event.xclient.data.l[0]) == m_close)
                return 'q';
            if (event.type == KeyPress) {
                char text[8] = {};
                KeySym key = 0;
                const int length = XLookupString(&event.xkey, text, sizeof text, &key, nullptr);
                if (key == XK_Left)
                    return 'L';
                if (key == XK_Right)
                    return 'R';
                if (length > 0)
                    return text[0] == 27 ? 'q' : text[0];
            }
        }
        return 0;
    }

  private:
    Display* m_display;
    Window m_window = 0;
    Atom m_close = 0;
};

std::string RecordName() {
    char name[64];
    std::snprintf(name, sizeof name, "qxplay-record-%lld.qx",
                  static_cast<long long>(std::time(nullptr)));
    return name;
}

// The picture on display into qxplay-snapshot-<time>-<n>.bmp or .jpg.
void Snapshot(Playback& playback, bool bmp) {
    static int count = 0;
    int width = 0;
    int height = 0;
    QxPlay_GetPictureSize(playback.port, &width, &height);
    // A BMP is at most its padded rows and header; a JPEG of a camera picture is smaller.
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3 + 4 * height + 54);
    uint32_t size = 0;
    const int taken =
        bmp ? QxPlay_GetBMP(playback.port, image.data(), static_cast<uint32_t>(image.size()), &size)
            : QxPlay_GetJPEG(playback.port, image.data(), static_cast<uint32_t>(image.size()),
                             &size);
    if (taken != 1) {
        std::cout << "qxplay: no picture to take" << std::endl;
        return;
    }
    char name[80];
    std::snprintf(name, sizeof name, "qxplay-snapshot-%lld-%d.%s",
                  static_cast<long long>(std::time(nullptr)), ++count, bmp ? "bmp" : "jpg");
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), size);
    std::cout << "qxplay: snapshot " << (out ? name : "failed") << std::endl;
}

void Seek(Playback& playback, int deltaSeconds) {
    const int64_t now = QxPlay_GetPlayedTime(playback.port);
    const int64_t last = static_cast<int64_t>(QxPlay_GetFileTime(playback.port)) - 1;
    const int64_t target = std::clamp<int64_t>(now + deltaSeconds, 0, std::max<int64_t>(0, last));
    QxPlay_SetPlayedTimeEx(playback.port, static_cast<uint32_t>(target));
    std::cout << "qxplay: seek to " << target << " s" << std::endl;
}

void HandleKey(Playback& playback, char key, bool& paused, bool& sound) {
    switch (key) {
        case 'L':
            Seek(playback, -10);
            break;
        case 'R':
            Seek(playback, 10);
            break;
        case 'r':
            if (playback.recording) {
                QxPlay_StopRecord(playback.port);
                playback.recording = false;
                std::cout << "qxplay: recording stopped, " << QxPlay_GetRecordSize(playback.port)
                          << " bytes" << std::endl;
            } else {
                const std::string name =
                    playback.recordName.empty() ? RecordName() : playback.recordName;
                playback.recording = QxPlay_StartRecord(playback.port, name.c_str()) == 1;
                std::cout << "qxplay: recording " << (playback.recording ? "into " : "failed: ")
                          << name << std::endl;
            }
            break;
        case 'c':
            Snapshot(playback, true);
            break;
        case 'j':
            Snapshot(playback, false);
            break;
        case 'm':
            sound = !sound;
            if (sound)
                QxPlay_PlaySound(playback.port);
            else
                QxPlay_StopSound(playback.port);
            break;
        case ' ':
            paused = !paused;
            QxPlay_Pause(playback.port, paused ? 1 : 0);
            break;
        case 'f':
            QxPlay_Fast(playback.port);
            break;
        case 's':
            QxPlay_Slow(playback.port);
            break;
        case '.':
            QxPlay_OneByOne(playback.port);
            break;
        case 'b':
            QxPlay_Back(playback.port);
            break;
        case 'q':
            playback.quit = true;
            break;
        default:
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    std::vector<uint8_t> bytes;
    const bool fromStdin = options.input == "-";
    if (!fromStdin) {
        std::ifstream in(options.input, std::ios::binary);
        if (!in)
            Usage("cannot read " + options.input);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The library reads both when a port makes its renderer and opens its sound.
    if (options.renderer != "auto")
        setenv("QXPLAY_RENDERER", options.renderer.c_str(), 1);
    if (!options.audioOut.empty())
        setenv("QXPLAY_AUDIO_OUT", options.audioOut.c_str(), 1);

    if (QxPlay_Init() != 1) {
        std::cerr << "qxplay: the library did not start\n";
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        std::cerr << "qxplay: no X display (DISPLAY is not set or unreachable): playing "
                     "headless, pictures are decoded and counted but not shown\n";
    const std::string rendererName = display == nullptr ? "none" : options.renderer;

    std::unique_ptr<PlayerWindow> window;
    if (display != nullptr)
        window = std::make_unique<PlayerWindow>(display, options.width > 0 ? options.width : 640,
                                                options.height > 0 ? options.height : 360);
    if (window)
        std::cout << "qxplay: window 0x" << std::hex << window->id() << std::dec << std::endl;
    std::unique_ptr<qxplay::WindowCheck> check;
    if (options.verify && window) {
        check = std::make_unique<qxplay::WindowCheck>(5, window->id());
        g_windowCheck = check.get();
    }

    Playback playback;
    QxPlay_GetPort(&playback.port);
    const bool live = fromStdin || options.live;
    const bool fileMode = !live && !options.push;
    QxPlay_SetStreamOpenMode(playback.port, live ? 0 : (fileMode ? 2 : 1));
    if (fileMode) {
        QxPlay_OpenFile(playback.port, options.input.c_str());
        for (const qxtools::PacketSpan& span : qxtools::ScanPackets(bytes.data(), bytes.size()))
            playback.fed += qxtools::CarriesPicture(bytes.data() + span.offset, span) ? 1 : 0;
    }
    QxPlay_SetDecMsgCallBack(playback.port, &OnMessage, &playback);
    if (check)
        QxPlay_SetDisplayCallBack(playback.port, &OnDisplay);
    if (options.cacheMs >= 0)
        QxPlay_SetCacheTime(playback.port, options.cacheMs);
    // Any non-zero id serves when nothing is drawn.
    const QxWindow target = window ? window->id() : 1;
    // Before Play: what the port has read ahead while its sound was off stays silent,
    // and a short file is read through at once.
    if (options.sound)
        QxPlay_PlaySound(playback.port);
    if (QxPlay_Play(playback.port, target) != 1) {
        std::cerr << "qxplay: play failed\n";
        return 1;
    }
    if (!options.record.empty()) {
        playback.recordName = options.record;
        bool paused = false;
        bool sound = options.sound;
        HandleKey(playback, 'r', paused, sound);
    }
    std::thread feeder([&] {
        if (fromStdin)
            FeedStdin(playback);
        else if (!fileMode)
            FeedFile(playback, bytes, options.live);
        else
            playback.fedAll = true;
    });

    const Clock::time_point start = Clock::now();
    Clock::time_point lastStats = start;
    Clock::time_point lastShownChange = start;
    int64_t lastShown = 0;
    int64_t shownAtStats = 0;
    bool paused = false;
    bool sound = options.sound;
    bool sinkSaid = false;
    size_t nextKey = 0;
    // A window resized while a picture is drawn would be compared half drawn.
    bool sized = options.width > 0 || options.verify;
    while (!playback.quit) {
        char key = window ? window->NextKey(50) : 0;
        if (!window)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (key == 0 && nextKey < options.keys.size() && elapsed >= options.keys[nextKey].first)
            key = options.keys[nextKey++].second;
        if (key == ' ' && fileMode && playback.ended)
            playback.ended = false;
        HandleKey(playback, key, paused, sound);
        const QxPortStats stats = Stats(playback.port);
        if (sound && !sinkSaid && stats.soundSink != QXPLAY_SINK_NONE) {
            sinkSaid = true;
            if (stats.soundSink == QXPLAY_SINK_SILENT)
                std::cout << "qxplay: no sound device: sound plays into the silent sink"
                          << std::endl;
            else
                std::cout << "qxplay: sound plays into the "
                          << (stats.soundSink == QXPLAY_SINK_FILE ? "WAV file" : "ALSA device")
                          << std::endl;
        }
        const Clock::time_point now = Clock::now();
        const int64_t shown = stats.picturesShown;
        if (shown != lastShown) {
            lastShown = shown;
            lastShownChange = now;
        }
        if (!sized && window && stats.width > 0 && stats.height > 0) {
            window->Resize(stats.width, stats.height);
            sized = true;
        }
        if (now - lastStats >= std::chrono::seconds(1)) {
            const double seconds = std::chrono::duration<double>(now - lastStats).count();
            const double fps = static_cast<double>(shown - shownAtStats) / seconds;
            const int64_t fed = playback.fed;
            std::ostringstream line;
            line.setf(std::ios::fixed);
            line.precision(1);
            line << stats.width << "x" << stats.height << " " << CodecName(stats.codec) << " | "
                 << fps << " fps | shown " << shown << " of " << fed
                 << (fileMode ? " | not shown " : " | dropped ")
                 << (playback.fedAll && now - lastShownChange > std::chrono::seconds(1)
                         ? fed - shown
                         : 0)
                 << " | late " << stats.picturesLate << " | latency ";
            if (stats.latencyMs >= 0)
                line << stats.latencyMs << " ms";
            else
                line << "-";
            line << " | " << stats.bitrate / 1000 << " kbit/s";
            if (sound && !live)
                line << " | A/V " << stats.avOffsetMs << " ms";
            if (fileMode)
                line << " | pos " << QxPlay_GetPlayedTime(playback.port) << "/"
                     << QxPlay_GetFileTime(playback.port) << " s | speed "
                     << QxPlay_GetPlayStatus(playback.port);
            line << " | " << rendererName << (paused ? " | paused" : "")
                 << (playback.recording ? " | recording" : "");
            std::cout << line.str() << std::endl;
            if (window)
                window->SetTitle("qxplay " + line.str());
            lastStats = now;
            shownAtStats = shown;
        }
        const bool idle = now - lastShownChange > std::chrono::milliseconds(1500);
        // Scripted keys still to come keep a finished file open (a seek back may follow).
        const bool keysLeft = nextKey < options.keys.size();
        // A file also ends when nothing has come for a while: a seek to its very end
        // leaves nothing to play and nothing to report the end with.
        const bool stalled = now - lastShownChange > std::chrono::seconds(3);
        if (!paused && !keysLeft && playback.fedAll &&
            (playback.ended || (live && idle) || (idle && shown == 0) || (fileMode && stalled)))
            break;
        if (options.seconds > 0 && now - start > std::chrono::duration<double>(options.seconds))
            break;
    }
    playback.quit = true;
    feeder.join();
    if (playback.recording) {
        QxPlay_StopRecord(playback.port);
        std::cout << "qxplay: recorded " << QxPlay_GetRecordSize(playback.port) << " bytes into "
                  << (playback.recordName.empty() ? "the record file" : playback.recordName)
                  << std::endl;
    }
    QxPlay_Stop(playback.port);
    const int64_t shown = Stats(playback.port).picturesShown;
    QxPlay_FreePort(playback.port);
    QxPlay_Destory();

    const int64_t fed = playback.fed;
    std::cout << "qxplay: " << shown << " of " << fed << " pictures shown, " << fed - shown
              << " dropped, renderer " << rendererName << std::endl;
    window.reset();
    if (display != nullptr)
        XCloseDisplay(display);
    if (options.verify) {
        const int checked = check ? check->checked() : 0;
        const int mismatched = check ? check->mismatched() : 0;
        std::cout << "qxplay: verify: " << checked << " pictures compared with the "
                  << "window, " << mismatched << " mismatched, worst sample off by "
                  << (check ? check->worstMismatch() : 0) << std::endl;
        if (!check || checked == 0 || mismatched != 0)
            return 1;
    }
    return 0;
}
