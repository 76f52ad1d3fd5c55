#include "shell/bootstrap.h"

#include <cmath>
#include <cstdint>

void reportProgress(ProgressReporter& reporter, const std::wstring& text, int32_t percent) {
    if (percent == reporter.lastPercent) return;
    reporter.lastPercent = percent;
    if (reporter.post) reporter.post(text, percent);
}

int32_t downloadPercent(double fraction) {
    if (!(fraction >= 0.0)) return 0;  // NaN too
    if (fraction >= 1.0) return 100;
    return static_cast<int32_t>(std::trunc(fraction * 100.0));
}

InstallerOffer installerOfferOf(const JsonValue& answer) {
    const JsonValue& offer = answer.find("webview2");  // find yields Null on anything but an object
    return {offer.find("url").asText(), offer.find("sha256").asText()};
}

std::wstring splashStatusLine(const std::wstring& status, int32_t progress) {
    if (progress < 1 || progress > 99) return status;
    return status + L"  " + std::to_wstring(progress) + L"%";
}

int mulDivRounded(int a, int b, int c) {
    if (c == 0) return -1;
    const int64_t product = static_cast<int64_t>(a) * b;
    const int64_t magnitude = (product < 0 ? -product : product);
    const int64_t divisor = c < 0 ? -static_cast<int64_t>(c) : c;
    int64_t result = (magnitude + divisor / 2) / divisor;
    if ((product < 0) != (c < 0)) result = -result;
    if (result > INT32_MAX || result < -INT32_MAX) return -1;  // as the platform's
    return static_cast<int>(result);
}

SplashLayout splashLayout(int clientWidth, int clientHeight, int dpi, int32_t progress) {
    const auto d = [dpi](int value) { return mulDivRounded(value, dpi, 96); };
    const int w = clientWidth;
    const int cy = clientHeight / 2;
    SplashLayout layout;
    layout.headingFont = -d(12);
    layout.titleFont = -d(22);
    layout.bodyFont = -d(13);
    layout.heading = {d(20), d(14), w, d(40)};
    layout.title = {d(28), cy - d(70), w - d(28), cy - d(36)};
    layout.explanation = {d(28), cy - d(30), w - d(28), cy + d(8)};
    layout.track = {d(48), cy + d(34), w - d(48), cy + d(40)};
    layout.status = {d(28), cy + d(52), w - d(28), cy + d(76)};
    if (progress >= 0) {
        layout.fill = layout.track;
        layout.fill.right = layout.track.left + mulDivRounded(layout.track.right - layout.track.left, progress, 100);
    } else {
        layout.fill = {};
        layout.fillDeep = true;
    }
    return layout;
}
