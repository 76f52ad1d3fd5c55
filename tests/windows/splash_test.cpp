// The splash under Xvfb: a window painted through the messages the bootstrap posts, the screen
// captured with xwd (a Linux program started from here), the pixels checked against the layout for
// the window's DPI. scripts/test.d/44-bootstrap-update runs it at 96 DPI and again with the prefix's
// LogPixels at 144 and VLM_EXPECT_DPI=144. VLM_SHOTS_DIR (a Linux path) keeps the captures.
#include "shell/bootstrap_win.h"
#include "shell/shell_state_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "test_support.h"

namespace {

constexpr COLORREF kBackground = RGB(10, 12, 16);
constexpr COLORREF kLine = RGB(30, 35, 44);
constexpr COLORREF kAccent = RGB(52, 224, 138);
constexpr COLORREF kDeepAccent = RGB(18, 184, 102);
constexpr COLORREF kMutedText = RGB(122, 132, 148);
constexpr COLORREF kText = RGB(242, 244, 247);

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The window procedure's side of the contract in bootstrap.h, as the program's window keeps it.
LRESULT CALLBACK splashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ShellState& state = shellState();
    switch (message) {
    case WM_PAINT:
        if (state.bootstrapping) {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            paintSplash(window, dc);
            EndPaint(window, &paint);
            return 0;
        }
        break;
    case WM_APP_PROGRESS:
        applyBootstrapProgress(window);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void pump(uint32_t ms) {
    const uint64_t deadline = GetTickCount64() + ms;
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    } while (GetTickCount64() < deadline);
}

// ---- the screen, as X sees it -----------------------------------------------------------------

struct Screen {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB
    COLORREF at(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
        const uint32_t p = pixels[static_cast<size_t>(y) * width + x];
        return RGB((p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff);
    }
};

uint32_t bigEndian(const std::string& bytes, size_t at) {
    const auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

// An xwd dump of a TrueColor root window: a big-endian header, the colour map, then the pixels in
// the image's byte order, bits_per_pixel / 8 bytes each, bytes_per_line apart.
bool parseXwd(const std::string& bytes, Screen& screen) {
    if (bytes.size() < 100) return false;
    const uint32_t headerSize = bigEndian(bytes, 0);
    const uint32_t format = bigEndian(bytes, 8), width = bigEndian(bytes, 16), height = bigEndian(bytes, 20);
    const uint32_t byteOrder = bigEndian(bytes, 28), pixelBytes = bigEndian(bytes, 44) / 8;
    const uint32_t bytesPerLine = bigEndian(bytes, 48), colours = bigEndian(bytes, 76);
    if (format != 2 || width == 0 || height == 0 || (pixelBytes != 3 && pixelBytes != 4)) return false;
    if (bytesPerLine < width * pixelBytes) return false;
    const size_t start = headerSize + static_cast<size_t>(colours) * 12;
    if (bytes.size() < start + static_cast<size_t>(bytesPerLine) * height) return false;
    screen.width = static_cast<int>(width);
    screen.height = static_cast<int>(height);
    screen.pixels.resize(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const size_t at = start + static_cast<size_t>(y) * bytesPerLine + static_cast<size_t>(x) * pixelBytes;
            uint32_t p = 0;
            for (uint32_t i = 0; i < pixelBytes; ++i) {
                const uint32_t b = static_cast<unsigned char>(bytes[at + i]);
                p |= byteOrder == 0 ? b << (8 * i) : b << (8 * (pixelBytes - 1 - i));  // 0: LSBFirst
            }
            screen.pixels[static_cast<size_t>(y) * width + x] = p & 0xffffff;
        }
    }
    return true;
}

// Runs xwd as a Linux program; Wine gives no usable handle for it, so the finished file is awaited.
bool captureScreen(const std::string& name, Screen& screen) {
    const std::string folder = environment("VLM_SHOTS_DIR");
    if (folder.empty()) return false;
    const std::string file = folder + "/" + name + ".xwd";
    DeleteFileW(utf8ToWide("Z:" + file).c_str());
    std::wstring command = utf8ToWide("/bin/sh -c \"xwd -root -silent > '" + file + ".part' && mv '" + file +
                                      ".part' '" + file + "'\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    if (process.hThread) CloseHandle(process.hThread);
    if (process.hProcess) CloseHandle(process.hProcess);
    std::string bytes;
    const uint64_t deadline = GetTickCount64() + 15000;
    while (GetTickCount64() < deadline) {
        if (GetFileAttributesW(utf8ToWide("Z:" + file).c_str()) != INVALID_FILE_ATTRIBUTES) {
            bytes = readFileBytes("Z:" + file);
            break;
        }
        Sleep(50);
    }
    return parseXwd(bytes, screen);
}

// ---- the cases --------------------------------------------------------------------------------

struct SplashWindow {
    HWND window = nullptr;
    int dpi = 96;
    POINT origin{};  // the client area's top left on the screen
    int width = 0, height = 0;

    SplashWindow() {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = splashWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = L"VlmSplashTest";
        RegisterClassExW(&windowClass);
        const int systemDpi = static_cast<int>(GetDpiForSystem());
        const int w = MulDiv(400, systemDpi, 96), h = MulDiv(560, systemDpi, 96);
        window = CreateWindowExW(WS_EX_APPWINDOW, L"VlmSplashTest", L"VELMORANTE", WS_POPUP, 20, 20, w, h, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!window) return;
        ShellState& state = shellState();
        state.mainWindow = window;
        state.bootstrapping = true;
        ShowWindow(window, SW_SHOW);
        dpi = static_cast<int>(GetDpiForWindow(window));
        RECT client{};
        GetClientRect(window, &client);
        width = client.right;
        height = client.bottom;
        ClientToScreen(window, &origin);
        pump(300);
    }
    ~SplashWindow() {
        if (window) DestroyWindow(window);
        shellState().mainWindow = nullptr;
        shellState().bootstrapping = false;
    }
};

// How many pixels of a rectangle differ from the background, and the columns they span.
struct Ink {
    int count = 0, left = INT32_MAX, right = -1, exact = 0;
};
Ink inkIn(const Screen& s, POINT o, const SplashRect& r, COLORREF colour) {
    Ink ink;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            const COLORREF c = s.at(o.x + x, o.y + y);
            if (c == kBackground) continue;
            ++ink.count;
            if (c == colour) ++ink.exact;
            ink.left = std::min(ink.left, x);
            ink.right = std::max(ink.right, x);
        }
    }
    return ink;
}

TEST(Splash, PaintedAtTheWindowsDpi) {
    ASSERT_FALSE(environment("VLM_SHOTS_DIR").empty()) << "VLM_SHOTS_DIR names the folder for the captures";
    SplashWindow splash;
    ASSERT_NE(splash.window, nullptr);
    const std::string expected = environment("VLM_EXPECT_DPI");
    ASSERT_EQ(splash.dpi, expected.empty() ? 96 : std::atoi(expected.c_str())) << "the prefix's DPI";

    struct Row {
        const char* name;
        const wchar_t* status;
        int32_t progress;
    };
    const std::vector<Row> rows = {
        {"preparing", kSplashPreparing, 0},    {"downloading", kSplashDownloading, 37},
        {"downloaded", kSplashDownloading, 100}, {"checking", kSplashChecking, 100},
        {"installing", kSplashInstalling, -1},
    };
    int statusWidthAt37 = 0, statusWidthAt100 = 0;
    for (const Row& row : rows) {
        const std::string where = std::string(row.name) + " at " + std::to_string(splash.dpi) + " dpi";
        postBootstrapProgress(splash.window, row.status, row.progress);
        pump(400);
        ASSERT_EQ(shellState().splashProgress, row.progress) << where;
        Screen screen;
        ASSERT_TRUE(captureScreen(std::string(row.name) + "-" + std::to_string(splash.dpi), screen)) << where;

        const SplashLayout l = splashLayout(splash.width, splash.height, splash.dpi, row.progress);
        const POINT o = splash.origin;
        const auto px = [&](int x, int y) { return screen.at(o.x + x, o.y + y); };
        const SplashRect& t = l.track;
        // The track's four edges, exactly where the layout puts them.
        EXPECT_EQ(px(t.left - 1, t.top), kBackground) << where;
        EXPECT_EQ(px(t.left, t.top - 1), kBackground) << where;
        EXPECT_EQ(px(t.right, t.bottom - 1), kBackground) << where;
        EXPECT_EQ(px(t.right - 1, t.bottom), kBackground) << where;
        if (row.progress < 0) {
            EXPECT_EQ(px(t.left, t.top), kDeepAccent) << where;
            EXPECT_EQ(px(t.right - 1, t.bottom - 1), kDeepAccent) << where;
        } else if (row.progress == 0) {
            EXPECT_EQ(px(t.left, t.top), kLine) << where;
            EXPECT_EQ(px(t.right - 1, t.bottom - 1), kLine) << where;
        } else if (row.progress >= 100) {
            EXPECT_EQ(px(t.left, t.top), kAccent) << where;
            EXPECT_EQ(px(t.right - 1, t.bottom - 1), kAccent) << where;
        } else {
            EXPECT_EQ(px(t.left, t.top), kAccent) << where;
            EXPECT_EQ(px(l.fill.right - 1, t.bottom - 1), kAccent) << where;
            EXPECT_EQ(px(l.fill.right, t.top), kLine) << where;
            EXPECT_EQ(px(t.right - 1, t.bottom - 1), kLine) << where;
        }
        // Text where the layout puts it, in its colours, and nothing between the bar and the status.
        const Ink heading = inkIn(screen, o, l.heading, kMutedText);
        const Ink title = inkIn(screen, o, l.title, kText);
        const Ink explanation = inkIn(screen, o, l.explanation, kMutedText);
        const Ink status = inkIn(screen, o, l.status, kMutedText);
        EXPECT_GT(heading.exact, 0) << where;
        EXPECT_GT(title.exact, 0) << where;
        EXPECT_GT(explanation.exact, 0) << where;
        EXPECT_GT(status.exact, 0) << where;
        EXPECT_EQ(inkIn(screen, o, {0, t.bottom, splash.width, l.status.top}, kMutedText).count, 0) << where;
        EXPECT_EQ(inkIn(screen, o, {0, l.heading.bottom, splash.width, l.title.top}, kMutedText).count, 0) << where;
        if (row.progress == 37) statusWidthAt37 = status.right - status.left;
        if (row.progress == 100 && row.status == kSplashDownloading) statusWidthAt100 = status.right - status.left;
    }
    // "…  37%" is drawn; at 100 % the same text stands alone, centred, so narrower.
    EXPECT_GT(statusWidthAt37, statusWidthAt100 + 3 * splash.dpi / 96);
}

// The layout's rounding is the platform's own.
TEST(Splash, MulDivAgreesWithThePlatform) {
    for (int dpi : {96, 120, 144, 168, 192, 288}) {
        for (int value : {8, 12, 13, 14, 20, 22, 28, 30, 34, 36, 40, 48, 52, 70, 76}) {
            EXPECT_EQ(mulDivRounded(value, dpi, 96), MulDiv(value, dpi, 96)) << value << " at " << dpi;
        }
    }
    for (int progress : {0, 1, 37, 50, 99, 100}) {
        for (int width : {303, 304, 456, 457}) {
            EXPECT_EQ(mulDivRounded(width, progress, 100), MulDiv(width, progress, 100)) << width << " × " << progress;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // As the program's manifest asks: the window's own DPI, not a scaled 96.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
