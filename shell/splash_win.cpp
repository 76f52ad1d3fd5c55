// The first-run splash, painted with GDI in the page's palette, scaled by the window's own DPI.
#include "shell/bootstrap_win.h"

#include <windows.h>

#include "shell/shell_state_win.h"

namespace {

constexpr COLORREF kBackground = RGB(10, 12, 16);
constexpr COLORREF kMutedText = RGB(122, 132, 148);
constexpr COLORREF kText = RGB(242, 244, 247);
constexpr COLORREF kLine = RGB(30, 35, 44);
constexpr COLORREF kAccent = RGB(52, 224, 138);
constexpr COLORREF kDeepAccent = RGB(18, 184, 102);

constexpr const wchar_t* kHeading = L"V E L M O R A N T E";
constexpr const wchar_t* kTitle = L"Первый запуск";
constexpr const wchar_t* kExplanation =
    L"Устанавливаю компонент Windows, который нужен программе. Это делается один раз.";

RECT toRect(const SplashRect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }

void fill(HDC dc, const SplashRect& area, COLORREF colour) {
    const RECT r = toRect(area);
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

HFONT makeFont(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0, L"Segoe UI");
}

void text(HDC dc, HFONT font, COLORREF colour, const std::wstring& what, const SplashRect& area, UINT format) {
    RECT r = toRect(area);
    SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, what.c_str(), -1, &r, format);
}

void draw(HWND window, HDC dc) {
    const ShellState& state = shellState();
    RECT client{};
    GetClientRect(window, &client);
    UINT dpi = GetDpiForWindow(window);
    if (dpi == 0) dpi = 96;
    const SplashLayout layout = splashLayout(client.right - client.left, client.bottom - client.top,
                                             static_cast<int>(dpi), state.splashProgress);

    fill(dc, {client.left, client.top, client.right, client.bottom}, kBackground);
    SetBkMode(dc, TRANSPARENT);
    HFONT heading = makeFont(layout.headingFont, 600);
    HFONT title = makeFont(layout.titleFont, 600);
    HFONT body = makeFont(layout.bodyFont, 400);
    HGDIOBJ previous = SelectObject(dc, body);

    text(dc, heading, kMutedText, kHeading, layout.heading, DT_SINGLELINE);
    text(dc, title, kText, kTitle, layout.title, DT_CENTER | DT_SINGLELINE);
    text(dc, body, kMutedText, kExplanation, layout.explanation, DT_CENTER | DT_WORDBREAK);
    fill(dc, layout.track, kLine);
    if (layout.fillDeep) {
        fill(dc, layout.track, kDeepAccent);
    } else {
        fill(dc, layout.fill, kAccent);
    }
    text(dc, body, kMutedText, splashStatusLine(state.splashStatus, state.splashProgress), layout.status,
         DT_CENTER | DT_SINGLELINE);

    SelectObject(dc, previous);  // a font still selected into a DC cannot be deleted
    DeleteObject(heading);
    DeleteObject(title);
    DeleteObject(body);
}

}  // namespace

void paintSplash(HWND window, HDC dc) {
    if (dc) {
        draw(window, dc);
        return;
    }
    PAINTSTRUCT paint;
    HDC own = BeginPaint(window, &paint);
    if (own) draw(window, own);
    EndPaint(window, &paint);
}
