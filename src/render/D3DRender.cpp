#include "render/D3DRender.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/XConnection.h"

namespace {

// The loaded GL library; once loaded it stays for the life of the process.
std::atomic<void*> g_pD3D{nullptr};
std::atomic<int32_t> g_D3DCount{0};

constexpr int kMaxSurface = 6000;

const char kVertexShader[] = R"(#version 120
void main() {
    gl_TexCoord[0] = gl_MultiTexCoord0;
    gl_Position = gl_Vertex;
}
)";

// BT.601 limited range.
const char kFragmentShader[] = R"(#version 120
uniform sampler2D planeY;
uniform sampler2D planeU;
uniform sampler2D planeV;
uniform vec4 lumaLimit;
uniform vec4 chromaLimit;
void main() {
    vec2 t = gl_TexCoord[0].st;
    vec2 ty = clamp(t, lumaLimit.xy, lumaLimit.zw);
    vec2 tc = clamp(t, chromaLimit.xy, chromaLimit.zw);
    float y = 1.164383 * (texture2D(planeY, ty).r - 0.0627451);
    float u = texture2D(planeU, tc).r - 0.5019608;
    float v = texture2D(planeV, tc).r - 0.5019608;
    gl_FragColor = vec4(y + 1.596027 * v, y - 0.391762 * u - 0.812968 * v, y + 2.017232 * u, 1.0);
}
)";

void Log115(const char* text) {
    qx::log::DbgviewLog(115, "%s", text);
}

GLuint CompileShader(GLenum kind, const char* source) {
    const GLuint shader = glCreateShader(kind);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

// The GL-capable visual info of a window's visual, or null.
XVisualInfo* WindowVisualInfo(Display* display, const XWindowAttributes& attributes) {
    XVisualInfo pattern{};
    pattern.visualid = XVisualIDFromVisual(attributes.visual);
    int count = 0;
    XVisualInfo* info = XGetVisualInfo(display, VisualIDMask, &pattern, &count);
    if (info == nullptr)
        return nullptr;
    int useGl = 0;
    int rgba = 0;
    if (glXGetConfig(display, info, GLX_USE_GL, &useGl) != 0 || !useGl ||
        glXGetConfig(display, info, GLX_RGBA, &rgba) != 0 || !rgba) {
        XFree(info);
        return nullptr;
    }
    return info;
}

bool HasGlx(Display* display) {
    int errorBase = 0;
    int eventBase = 0;
    return glXQueryExtension(display, &errorBase, &eventBase);
}

}  // namespace

bool D3DRender::InitD3DSDK() {
    if (g_pD3D.load() != nullptr)
        return true;
    void* library = dlopen("libGL.so.1", RTLD_LAZY | RTLD_GLOBAL);
    if (library == nullptr) {
        qx::log::DbgviewLog(115, "%s fail", "D3DRender::InitD3DSDK");
        return false;
    }
    g_pD3D.store(library);
    return true;
}

namespace {

bool ProbeOnce() {
    // Like the process-wide GPU object of other platforms, the probe's connection lives as long as
    // the process: it also keeps the GL driver loaded while renderers come and go.
    static qx::XConnection* const kept = new qx::XConnection;
    qx::XConnection& connection = *kept;
    int width = 0;
    int height = 0;
    if (!connection.Open() || !connection.ScreenSize(0, &width, &height)) {
        Log115("D3D err:GetAdapterDisplayMode fail");
        return false;
    }
    Display* display = connection.display();
    bool capable = false;
    if (HasGlx(display)) {
        // A context made current on a small unmapped window proves the whole path:
        // visual, context, drawable and a GL with shaders.
        const Window root = DefaultRootWindow(display);
        XWindowAttributes rootAttributes;
        if (connection.WindowAttributes(root, &rootAttributes)) {
            XVisualInfo* info = WindowVisualInfo(display, rootAttributes);
            if (info != nullptr) {
                XSetWindowAttributes set{};
                set.colormap = XCreateColormap(display, root, info->visual, AllocNone);
                const Window probe = XCreateWindow(display, root, 0, 0, 16, 16, 0, info->depth,
                                                   InputOutput, info->visual, CWColormap, &set);
                GLXContext context = glXCreateContext(display, info, nullptr, True);
                if (connection.Sync() == 0 && context != nullptr &&
                    glXMakeCurrent(display, probe, context)) {
                    capable = epoxy_gl_version() >= 20 && connection.Sync() == 0;
                    glXMakeCurrent(display, None, nullptr);
                }
                if (context != nullptr)
                    glXDestroyContext(display, context);
                XDestroyWindow(display, probe);
                XFreeColormap(display, set.colormap);
                XFree(info);
                connection.Sync();
            }
        }
    }
    if (!capable)
        Log115("D3D err:GetDeviceCaps fail");
    return capable;
}

}  // namespace

bool ProbeD3D() {
    if (g_pD3D.load() == nullptr)
        return false;
    // A context is costly to try: the first answer holds for the process.
    static const bool usable = ProbeOnce();
    return usable;
}

D3DRender::D3DRender() = default;

D3DRender::~D3DRender() {
    try {
        Teardown();
        qx::log::DbgviewLog(85, "D3DRelease g_D3DCount=%d", g_D3DCount.load());
    } catch (...) {
        qx::log::DbgviewLog(85, "%s", "D3D err:SafeRelease fail");
    }
}

bool D3DRender::Init(QxWindow window, int width, int height) {
    if (CreateDevice(window, width, height) != kOk)
        return false;
    return CreateVideoSurface(width, height, kYv12) == kOk;
}

long D3DRender::CreateDevice(QxWindow window, int maxWidth, int maxHeight) {
    int step = 181;
    try {
        const int32_t count = ++g_D3DCount;
        qx::log::DbgviewLog(85, "D3DCreate g_D3DCount=%d", count);
        m_connection = std::make_unique<qx::XConnection>();
        if (!m_connection->Open() || !m_connection->IsWindow(window))
            return kFail;
        m_window = window;
        step = 197;
        int width = 0;
        int height = 0;
        if (!m_connection->ScreenSize(window, &width, &height)) {
            Log115("D3D err:GetAdapterDisplayMode fail");
            return kFail;
        }
        m_displayWidth = width;
        m_displayHeight = height;
        step = 205;
        Display* display = m_connection->display();
        XWindowAttributes attributes;
        XVisualInfo* info = nullptr;
        if (!HasGlx(display) || !m_connection->WindowAttributes(window, &attributes) ||
            (info = WindowVisualInfo(display, attributes)) == nullptr) {
            Log115("D3D err:GetDeviceCaps fail");
            return kFail;
        }
        int doubleBuffer = 0;
        glXGetConfig(display, info, GLX_DOUBLEBUFFER, &doubleBuffer);
        m_doubleBuffered = doubleBuffer != 0;
        step = 226;
        if (GetPresentParams(maxWidth, maxHeight) != kOk)
            Log115("D3D err:GetPresentParams fail");
        step = 236;
        m_context = glXCreateContext(display, info, nullptr, True);
        XFree(info);
        if (m_connection->Sync() != 0 || m_context == nullptr) {
            if (m_context != nullptr)
                glXDestroyContext(display, m_context);
            m_context = nullptr;
            Log115("D3D err:CreateDevice fail");
            return kFail;
        }
        step = 242;
        return InitScene();
    } catch (...) {
        qx::log::DbgviewLog(115, "D3D err:CreateDevice catch %d", step);
        return kRefused;
    }
}

bool D3DRender::ClientSize(int* width, int* height) {
    XWindowAttributes attributes;
    if (!m_connection || !m_connection->WindowAttributes(m_window, &attributes))
        return false;
    *width = attributes.width;
    *height = attributes.height;
    return true;
}

long D3DRender::GetPresentParams(int maxWidth, int maxHeight) {
    int width = 0;
    int height = 0;
    ClientSize(&width, &height);
    m_backBufferWidth = static_cast<int32_t>(
        std::min(static_cast<uint32_t>(width), static_cast<uint32_t>(maxWidth)));
    m_backBufferHeight = static_cast<int32_t>(
        std::min(static_cast<uint32_t>(height), static_cast<uint32_t>(maxHeight)));
    return kOk;
}

bool D3DRender::MakeCurrent() {
    if (m_context == nullptr || !m_connection)
        return false;
    const bool made = glXMakeCurrent(m_connection->display(), m_window, m_context);
    return m_connection->Sync() == 0 && made;
}

void D3DRender::ReleaseCurrent() {
    // Released after every use: the session may next call from another thread.
    glXMakeCurrent(m_connection->display(), None, nullptr);
}

long D3DRender::InitScene() {
    if (!MakeCurrent()) {
        Log115("D3D err:CreateRenderTarget fail");
        return kFail;
    }
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    const std::string name = renderer != nullptr ? renderer : "";
    const bool software = name.find("llvmpipe") != std::string::npos ||
                          name.find("softpipe") != std::string::npos ||
                          name.find("swrast") != std::string::npos;
    Log115(software ? "D3D :D3DCREATE_SOFTWARE_VERTEXPROCESSING"
                    : "D3D :D3DCREATE_HARDWARE_VERTEXPROCESSING");
    long result = kOk;
    const GLuint vertex = CompileShader(GL_VERTEX_SHADER, kVertexShader);
    const GLuint fragment = CompileShader(GL_FRAGMENT_SHADER, kFragmentShader);
    if (vertex != 0 && fragment != 0) {
        m_program = glCreateProgram();
        glAttachShader(m_program, vertex);
        glAttachShader(m_program, fragment);
        glLinkProgram(m_program);
        GLint linked = GL_FALSE;
        glGetProgramiv(m_program, GL_LINK_STATUS, &linked);
        if (linked != GL_TRUE) {
            glDeleteProgram(m_program);
            m_program = 0;
        }
    }
    if (vertex != 0)
        glDeleteShader(vertex);
    if (fragment != 0)
        glDeleteShader(fragment);
    if (m_program == 0) {
        Log115("D3D err:CreateRenderTarget fail");
        result = kFail;
    } else {
        glUseProgram(m_program);
        glUniform1i(glGetUniformLocation(m_program, "planeY"), 0);
        glUniform1i(glGetUniformLocation(m_program, "planeU"), 1);
        glUniform1i(glGetUniformLocation(m_program, "planeV"), 2);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_CULL_FACE);
        glDisable(GL_LIGHTING);
        // Never wait for the vertical blank: pacing is the play loop's alone.
        Display* display = m_connection->display();
        const int screen = DefaultScreen(display);
        if (epoxy_has_glx_extension(display, screen, "GLX_EXT_swap_control"))
            glXSwapIntervalEXT(display, m_window, 0);
        else if (epoxy_has_glx_extension(display, screen, "GLX_MESA_swap_control"))
            glXSwapIntervalMESA(0);
    }
    ReleaseCurrent();
    return result;
}

long D3DRender::CreateVideoSurface(int width, int height, uint32_t format) {
    m_textureWidth = width;
    m_textureHeight = height;
    m_textureFormat = format;
    if (m_context == nullptr)
        return kPointer;
    if (width >= kMaxSurface || height >= kMaxSurface || width <= 0 || height <= 0)
        return kRefused;
    if (!MakeCurrent()) {
        qx::log::DbgviewLog(85, "%s", "D3D err:CreateOffscreenPlainSurface fail");
        return kFail;
    }
    glGenTextures(3, m_planeTextures);
    const int widths[3] = {width, std::max(1, width / 2), std::max(1, width / 2)};
    const int heights[3] = {height, std::max(1, height / 2), std::max(1, height / 2)};
    // Black in limited range until the first picture arrives.
    const unsigned char fills[3] = {16, 128, 128};
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    for (int i = 0; i < 3; ++i) {
        std::vector<unsigned char> black(static_cast<size_t>(widths[i]) * heights[i], fills[i]);
        glActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, m_planeTextures[i]);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, widths[i], heights[i], 0, GL_LUMINANCE,
                     GL_UNSIGNED_BYTE, black.data());
    }
    const bool ok = glGetError() == GL_NO_ERROR;
    ReleaseCurrent();
    if (!ok) {
        qx::log::DbgviewLog(85, "%s", "D3D err:CreateOffscreenPlainSurface fail");
        return kFail;
    }
    return kOk;
}

bool D3DRender::Render(unsigned char* planes[3], const int strides[3], int width, int height,
                       QxWindow window, const RenderPoint* topLeft,
                       const RenderPoint* bottomRight) {
    return RenderFrame(planes, strides, width, height, window, topLeft, bottomRight) == kOk;
}

long D3DRender::RenderFrame(unsigned char* planes[3], const int strides[3], int width, int height,
                            QxWindow window, const RenderPoint* topLeft,
                            const RenderPoint* bottomRight) {
    if (planes == nullptr || strides == nullptr || planes[0] == nullptr ||
        (m_textureFormat == kYv12 && (planes[1] == nullptr || planes[2] == nullptr)))
        return kPointer;
    if (width <= 0 || height <= 0)
        return kRefused;
    if (!m_connection) {
        m_connection = std::make_unique<qx::XConnection>();
        if (!m_connection->Open())
            return kFail;
    }
    int screenW = 0;
    int screenH = 0;
    if (m_connection->ScreenSize(m_window, &screenW, &screenH)) {
        if (m_screenWidth != 0 && m_screenHeight != 0 &&
            (screenW != m_screenWidth || screenH != m_screenHeight)) {
            m_screenWidth = screenW;
            m_screenHeight = screenH;
            const long result = Reset();
            if (result != kOk) {
                m_window = 0;
                return result;
            }
        } else if (m_screenWidth == 0 || m_screenHeight == 0) {
            m_screenWidth = screenW;
            m_screenHeight = screenH;
        }
    }
    int clientWidth = 0;
    int clientHeight = 0;
    if (!ClientSize(&clientWidth, &clientHeight)) {
        clientWidth = 0;
        clientHeight = 0;
    }
    if (m_lastClientWidth == 0 && m_lastClientHeight == 0) {
        m_lastClientWidth = clientWidth;
        m_lastClientHeight = clientHeight;
    }
    clientWidth = std::min(clientWidth, width);
    clientHeight = std::min(clientHeight, height);
    if (m_lastClientWidth < clientWidth || m_lastClientHeight < clientHeight ||
        window != m_window) {
        m_window = window;
        const long result = Reset();
        if (result != kOk) {
            m_window = 0;
            return result;
        }
        m_lastClientWidth = clientWidth;
        m_lastClientHeight = clientHeight;
    }
    if (m_context == nullptr)
        return kPointer;
    if (!m_connection->IsWindow(m_window))
        return kFail;
    if (m_lost) {
        qx::log::DbgviewLog(8115, "%s", "D3D err:m_context not reset");
        // The picture itself is not drawn: the frame fails even when the rebuild works.
        const long result = Reset();
        return result != kOk ? result : kDeviceNotReset;
    }
    if (!MakeCurrent()) {
        m_lost = true;
        qx::log::DbgviewLog(8115, "%s", "D3D err:m_context lost");
        return kDeviceLost;
    }
    long result = FillBuffer(planes, strides, width, height);
    if (result == kOk)
        result = Draw(width, height, topLeft, bottomRight);
    ReleaseCurrent();
    if (m_connection->Sync() != 0 && result == kOk) {
        Log115("D3D err:Present fail");
        m_lost = true;
        result = kFail;
    }
    return result;
}

long D3DRender::FillBuffer(unsigned char* planes[3], const int strides[3], int width, int height) {
    // Only the overlap of picture and surface: a picture of another size neither
    // over-reads its planes nor writes past the textures.
    const int w = std::min(width, m_textureWidth);
    const int h = std::min(height, m_textureHeight);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, m_planeTextures[0]);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, strides[0]);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, GL_LUMINANCE, GL_UNSIGNED_BYTE, planes[0]);
    if (w / 2 > 0 && h / 2 > 0) {
        for (int i = 1; i < 3; ++i) {
            glPixelStorei(GL_UNPACK_ROW_LENGTH, strides[i]);
            glActiveTexture(GL_TEXTURE0 + i);
            glBindTexture(GL_TEXTURE_2D, m_planeTextures[i]);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w / 2, h / 2, GL_LUMINANCE, GL_UNSIGNED_BYTE,
                            planes[i]);
        }
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (glGetError() != GL_NO_ERROR) {
        qx::log::DbgviewLog(85, "%s", "D3D err:FillBuffer fail");
        return kFail;
    }
    return kOk;
}

long D3DRender::Draw(int width, int height, const RenderPoint* topLeft,
                     const RenderPoint* bottomRight) {
    int left = 0;
    int top = 0;
    int right = width;
    int bottom = height;
    if (topLeft != nullptr && bottomRight != nullptr &&
        (topLeft->x != 0 || topLeft->y != 0 || bottomRight->x != 0 || bottomRight->y != 0)) {
        left = std::clamp(topLeft->x, 0, width);
        top = std::clamp(topLeft->y, 0, height);
        right = std::clamp(bottomRight->x, 0, width);
        bottom = std::clamp(bottomRight->y, 0, height);
    }
    if (right <= left || bottom <= top) {
        Log115("D3D err:StretchRect fail");
        return kRefused;
    }
    int clientWidth = 0;
    int clientHeight = 0;
    ClientSize(&clientWidth, &clientHeight);
    const float s0 = static_cast<float>(left) / m_textureWidth;
    const float s1 = static_cast<float>(right) / m_textureWidth;
    const float t0 = static_cast<float>(top) / m_textureHeight;
    const float t1 = static_cast<float>(bottom) / m_textureHeight;
    glViewport(0, 0, clientWidth, clientHeight);
    glClearColor(0.f, 0.f, 0.f, 1.f);
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(m_program);
    // Filtering stays inside the rectangle shown: texels beyond it (the rest of a
    // larger surface) must not bleed into its edges.
    const float chromaWidth = static_cast<float>(std::max(1, m_textureWidth / 2));
    const float chromaHeight = static_cast<float>(std::max(1, m_textureHeight / 2));
    glUniform4f(glGetUniformLocation(m_program, "lumaLimit"), (left + 0.5f) / m_textureWidth,
                (top + 0.5f) / m_textureHeight, (right - 0.5f) / m_textureWidth,
                (bottom - 0.5f) / m_textureHeight);
    glUniform4f(glGetUniformLocation(m_program, "chromaLimit"), (left / 2 + 0.5f) / chromaWidth,
                (top / 2 + 0.5f) / chromaHeight,
                std::max(left / 2 + 0.5f, right / 2 - 0.5f) / chromaWidth,
                std::max(top / 2 + 0.5f, bottom / 2 - 0.5f) / chromaHeight);
    glBegin(GL_QUADS);
    glTexCoord2f(s0, t0);
    glVertex2f(-1.f, 1.f);
    glTexCoord2f(s1, t0);
    glVertex2f(1.f, 1.f);
    glTexCoord2f(s1, t1);
    glVertex2f(1.f, -1.f);
    glTexCoord2f(s0, t1);
    glVertex2f(-1.f, -1.f);
    glEnd();
    if (m_doubleBuffered)
        glXSwapBuffers(m_connection->display(), m_window);
    else
        glFlush();
    if (glGetError() != GL_NO_ERROR) {
        Log115("D3D err:Present fail");
        return kFail;
    }
    return kOk;
}

long D3DRender::Reset() {
    Teardown();
    const long result = CreateDevice(m_window, m_textureWidth, m_textureHeight);
    if (result != kOk)
        return result;
    m_lost = false;
    return CreateVideoSurface(m_textureWidth, m_textureHeight, kYv12);
}

void D3DRender::Teardown() {
    try {
        m_lastClientWidth = -1;
        m_lastClientHeight = -1;
        if (m_context != nullptr) {
            // Destroying the context frees its textures and program with it.
            glXDestroyContext(m_connection->display(), m_context);
            m_context = nullptr;
            m_planeTextures[0] = m_planeTextures[1] = m_planeTextures[2] = 0;
            m_program = 0;
            --g_D3DCount;
        } else if (m_connection) {
            --g_D3DCount;
        }
        m_connection.reset();
    } catch (...) {
        qx::log::DbgviewLog(115, "catch line=%d", 128);
    }
}

void D3DRender::Close() {
    Teardown();
}

void D3DRender::SetText(const char* value, int32_t reserved, bool enable) {
    if (enable && value != nullptr) {
        std::strncpy(m_text, value, sizeof m_text - 1);
        m_text[sizeof m_text - 1] = '\0';
    }
    m_textEnabled = enable;
}

void D3DRender::GetSize(int32_t& height, int32_t& width) {
    height = m_textureHeight;
    width = m_textureWidth;
}
