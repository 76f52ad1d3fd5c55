// The runtime bootstrap's decisions: the progress posting rule, the installer offer, the splash's
// status line and its geometry.
#include "shell/bootstrap.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Posted = std::vector<std::pair<std::wstring, int32_t>>;

TEST(Bootstrap, ReportPostsOnlyChangedPercents) {
    struct Row {
        const char* what;
        std::vector<std::pair<std::wstring, int32_t>> calls;
        Posted posted;
    };
    const std::vector<Row> rows = {
        {"37 % twice posts once", {{L"d", 37}, {L"d", 37}}, {{L"d", 37}}},
        {"a new text with the same percent is not shown", {{L"a", 5}, {L"b", 5}}, {{L"a", 5}}},
        {"the first call always posts, 0 included", {{L"p", 0}}, {{L"p", 0}}},
        // The download ending on 100 keeps its text: "Проверка файла…" at 100 is swallowed.
        {"download at 100 hides the check", {{L"d", 99}, {L"d", 100}, {L"c", 100}, {L"i", -1}},
         {{L"d", 99}, {L"d", 100}, {L"i", -1}}},
        {"-1 after -1 posts once", {{L"i", -1}, {L"j", -1}}, {{L"i", -1}}},
    };
    for (const Row& row : rows) {
        Posted posted;
        ProgressReporter reporter;
        reporter.post = [&posted](const std::wstring& text, int32_t percent) { posted.emplace_back(text, percent); };
        for (const auto& [text, percent] : row.calls) reportProgress(reporter, text, percent);
        EXPECT_EQ(posted, row.posted) << row.what;
    }
}

TEST(Bootstrap, DownloadPercent) {
    const std::vector<std::pair<double, int32_t>> rows = {
        {0.0, 0}, {0.0099, 0}, {0.37, 37}, {0.379999, 37}, {0.999, 99}, {1.0, 100}, {1.5, 100}, {-0.2, 0},
    };
    for (const auto& [fraction, percent] : rows) EXPECT_EQ(downloadPercent(fraction), percent) << fraction;
}

TEST(Bootstrap, InstallerOffer) {
    struct Row {
        const char* json;
        const char* url;
        const char* sha256;
    };
    const std::vector<Row> rows = {
        {R"({"webview2":{"url":"https://h/i.exe","sha256":"ab"}})", "https://h/i.exe", "ab"},
        {R"({"webview2":"https://h/i.exe"})", "", ""},  // a string, not an object
        {R"({"webview2":{"url":5,"sha256":"ab"}})", "", "ab"},
        {R"({"webview2":{"url":"https://h/i.exe"}})", "https://h/i.exe", ""},
        {R"({"nonce":"x"})", "", ""},
        {R"({"webview2":[{"url":"https://h/i.exe","sha256":"ab"}]})", "", ""},
    };
    for (const Row& row : rows) {
        JsonValue answer;
        ASSERT_TRUE(parseJson(row.json, answer)) << row.json;
        const InstallerOffer offer = installerOfferOf(answer);
        EXPECT_EQ(offer.url, row.url) << row.json;
        EXPECT_EQ(offer.sha256, row.sha256) << row.json;
    }
}

TEST(Splash, StatusLineShowsPercentOnlyFrom1To99) {
    const std::vector<std::pair<int32_t, std::wstring>> rows = {
        {0, L"Загрузка компонента Windows"},         {1, L"Загрузка компонента Windows  1%"},
        {37, L"Загрузка компонента Windows  37%"},   {99, L"Загрузка компонента Windows  99%"},
        {100, L"Загрузка компонента Windows"},       {-1, L"Загрузка компонента Windows"},
    };
    for (const auto& [progress, line] : rows) {
        EXPECT_EQ(splashStatusLine(kSplashDownloading, progress), line) << progress;
    }
}

TEST(Splash, LayoutScalesWithDpi) {
    struct Row {
        int width, height, dpi;
        int32_t progress;
        SplashLayout expected;
    };
    SplashLayout at96;
    at96.headingFont = -12;
    at96.titleFont = -22;
    at96.bodyFont = -13;
    at96.heading = {20, 14, 400, 40};
    at96.title = {28, 210, 372, 244};
    at96.explanation = {28, 250, 372, 288};
    at96.track = {48, 314, 352, 320};
    at96.fill = {48, 314, 48 + 112, 320};  // 304 × 37 % = 112.48
    at96.status = {28, 332, 372, 356};
    // At 144 DPI every size is half as large again, rounded half away from zero: 13 → 19.5 → 20.
    SplashLayout at144;
    at144.headingFont = -18;
    at144.titleFont = -33;
    at144.bodyFont = -20;
    at144.heading = {30, 21, 600, 60};
    at144.title = {42, 315, 558, 366};
    at144.explanation = {42, 375, 558, 432};
    at144.track = {72, 471, 528, 480};
    at144.fill = {72, 471, 72 + 169, 480};  // 456 × 37 % = 168.72
    at144.status = {42, 498, 558, 534};
    SplashLayout deep = at96;
    deep.fill = {};
    deep.fillDeep = true;
    SplashLayout full = at144;
    full.fill = full.track;
    SplashLayout odd = at96;  // an odd height: cy = 280 still
    odd.fill = {48, 314, 48, 320};

    const std::vector<Row> rows = {
        {400, 560, 96, 37, at96}, {600, 840, 144, 37, at144}, {400, 560, 96, -1, deep},
        {600, 840, 144, 100, full}, {400, 561, 96, 0, odd},
    };
    const auto same = [](const SplashRect& a, const SplashRect& b) {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    };
    for (const Row& row : rows) {
        const SplashLayout got = splashLayout(row.width, row.height, row.dpi, row.progress);
        const SplashLayout& want = row.expected;
        const std::string where = std::to_string(row.dpi) + " dpi, " + std::to_string(row.progress) + " %";
        EXPECT_EQ(got.headingFont, want.headingFont) << where;
        EXPECT_EQ(got.titleFont, want.titleFont) << where;
        EXPECT_EQ(got.bodyFont, want.bodyFont) << where;
        EXPECT_TRUE(same(got.heading, want.heading)) << where;
        EXPECT_TRUE(same(got.title, want.title)) << where;
        EXPECT_TRUE(same(got.explanation, want.explanation)) << where;
        EXPECT_TRUE(same(got.track, want.track)) << where;
        EXPECT_TRUE(same(got.fill, want.fill)) << where;
        EXPECT_TRUE(same(got.status, want.status)) << where;
        EXPECT_EQ(got.fillDeep, want.fillDeep) << where;
    }
}

TEST(Splash, MulDivRoundsHalfAwayFromZero) {
    struct Row {
        int a, b, c, result;
    };
    const std::vector<Row> rows = {
        {13, 144, 96, 20},   {-13, 144, 96, -20}, {13, -144, 96, -20}, {13, 144, -96, -20},
        {5, 1, 2, 3},        {-5, 1, 2, -3},      {1, 1, 3, 0},        {2, 1, 3, 1},
        {1, 2, 0, -1},       {INT32_MAX, 2, 1, -1}, {INT32_MAX, 2, 2, INT32_MAX},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(mulDivRounded(row.a, row.b, row.c), row.result) << row.a << "*" << row.b << "/" << row.c;
    }
}

}  // namespace
