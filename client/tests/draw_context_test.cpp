// The drawing toolkit through real pixels: each primitive drawn off-screen by the same paint step the
// windows use, and the buffered paint of a real window read back from the screen.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>

#include "core/draw_context.h"
#include "core/globals.h"
#include "core/holders.h"
#include "support/pixels.h"
#include "support/test_support.h"

namespace {

constexpr uint32_t kBackground = kWindowBackground & 0xFFFFFF;

// Every pixel outside `inside` still shows the background.
void ExpectNothingOutside(const PixelImage& image, const RECT& inside, const char* what) {
    int stray = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if ((x < inside.left || x >= inside.right || y < inside.top || y >= inside.bottom) &&
                image.At(x, y) != kBackground)
                ++stray;
    EXPECT_EQ(stray, 0) << what;
}

int CountNot(const PixelImage& image, const RECT& area, uint32_t colour) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (image.At(x, y) != colour) ++count;
    return count;
}

TEST(DrawToolkit, RoundedAndPlainFills) {
    DrawResources resources;
    const PixelImage image = RenderFrame(200, 120, [](DrawContext& c, const RECT&) {
        FillRoundRect(c, RectF(10, 10, 60, 40), 0, 0xFF2A66EC);           // radius 0: plain rectangle
        FillRoundRect(c, RectF(100, 10, 60, 40), 12, 0xFF131F31);         // rounded
        FillGradientRoundRect(c, RectF(10, 60, 150, 50), 12, 0xFF255BDE, 0xFF1DA9B0);
        EXPECT_EQ(c.lastStatus, Gdiplus::Ok);
    }, &resources);
    ExpectColours(image, {
        {10, 10, 0xFF2A66EC, "the corner of a radius-0 fill is filled"},
        {69, 49, 0xFF2A66EC, "its opposite corner too"},
        {70, 30, kWindowBackground, "and nothing beyond its right edge"},
        {100, 10, kWindowBackground, "a rounded corner leaves the corner pixel"},
        {159, 49, kWindowBackground, "at every corner"},
        {130, 10, 0xFF131F31, "the straight top edge is filled"},
        {130, 30, 0xFF131F31, "the middle is filled"},
        {10, 60, kWindowBackground, "the gradient always takes the rounded path"},
    });
    ExpectColours(image, {{14, 66, 0xFF255BDE, "the gradient starts at the top-left colour", 10}});
    // Colour 2 wins towards the bottom-right corner.
    const uint32_t late = image.At(152, 104);
    EXPECT_GT(late & 0xFF, 0xA0u) << ColourText(late);
    EXPECT_LT((late >> 16) & 0xFF, 0x30u) << ColourText(late);
}

TEST(DrawToolkit, OutlinesStayInsideTheirRectangle) {
    const PixelImage image = RenderFrame(120, 80, [](DrawContext& c, const RECT&) {
        StrokeRoundRect(c, RECT{10, 10, 110, 70}, 0xFF4D93FF, 2, 12);
    });
    ExpectColours(image, {
        {60, 10, 0xFF4D93FF, "top row of a 2-pixel pen"},
        {60, 11, 0xFF4D93FF, "its second row"},
        {60, 12, kWindowBackground, "inside the outline"},
        {60, 9, kWindowBackground, "above the rectangle"},
        {60, 69, 0xFF4D93FF, "bottom row inside the rectangle"},
        {60, 70, kWindowBackground, "the bottom edge is exclusive"},
        {10, 40, 0xFF4D93FF, "left column"},
        {109, 40, 0xFF4D93FF, "right column inside the rectangle"},
    });
    ExpectNothingOutside(image, RECT{10, 10, 110, 70}, "a pen of width 2 is inset by 1 pixel");
}

TEST(DrawToolkit, ButtonsCheckboxesAndFieldFrames) {
    DrawResources resources;
    const PixelImage image = RenderFrame(400, 200, [](DrawContext& c, const RECT&) {
        DrawButton(c, RECT{10, 10, 150, 54}, L"创建房间", true);
        DrawButton(c, RECT{200, 10, 340, 54}, L"加入房间", false);
        DrawCheckbox(c, RECT{10, 80, 180, 106}, true, L"保存账号和密码");
        DrawCheckbox(c, RECT{200, 80, 240, 108}, false, L"");
        DrawInputFrame(c, RECT{10, 130, 180, 184}, true);
        DrawInputFrame(c, RECT{200, 130, 370, 184}, false);
    }, &resources);
    ExpectColours(image, {
        {16, 32, 0xFF2A66EC, "primary button"},
        {206, 32, 0xFF1D2D44, "secondary button"},
        {10, 10, kWindowBackground, "button corners are rounded (radius 9)"},
        {12, 86, 0xFF2A66EC, "ticked box"},
        {10, 82, kWindowBackground, "the box starts 3 pixels below the top"},
        {202, 86, 0xFF1F324A, "unticked box"},
        {95, 130, 0xFF4D93FF, "focused frame outline"},
        {95, 131, 0xFF4D93FF, "2 pixels wide"},
        {95, 157, 0xFF18293F, "frame fill, the colour of the fields"},
        {285, 133, 0xFF18293F, "inside the unfocused outline"},
    });
    // The unfocused outline is one pixel wide, on the rectangle's first or second row.
    EXPECT_NE(ColourNear(image.At(285, 130), 0xFF2A3F58), ColourNear(image.At(285, 131), 0xFF2A3F58))
        << ColourText(image.At(285, 130)) << " " << ColourText(image.At(285, 131));
    // An unticked box with an empty label paints only its 18 × 18 box.
    EXPECT_EQ(CountNot(image, RECT{200, 80, 240, 108}, kBackground), CountNot(image, RECT{200, 83, 218, 101}, kBackground));
    // The caption is drawn inside the button (some caption-coloured pixels in its middle).
    EXPECT_GT(CountNot(image, RECT{50, 20, 110, 44}, 0x2A66EC), 20);
}

// The two kinds of label: wrapped as GDI+ wraps, and broken at phrase ends first.
using LabelPrimitive = void (*)(DrawContext&, const std::wstring&, const RectF&, float, Argb, bool, TextAlign);
const struct {
    const char* name;
    LabelPrimitive draw;
} kLabelPrimitives[] = {{"DrawLabel", DrawLabel}, {"DrawPhrasedLabel", DrawPhrasedLabel}};

TEST(DrawToolkit, LongTextStaysInItsRectangle) {
    DrawResources resources;
    const std::wstring text =
        L"用途会写入任务记录；每个任务仍需查看倒计时、点击位置并在本机确认。用途会写入任务记录；每个任务仍需查看倒计时。";
    const RECT box{20, 20, 140, 60};
    for (const auto& label : kLabelPrimitives) {
        SCOPED_TRACE(label.name);
        const PixelImage image = RenderFrame(200, 100, [&](DrawContext& c, const RECT&) {
            label.draw(c, text, RectF(20, 20, 120, 40), 12, 0xFFF7FAFF, false, TextAlign::Near);
            EXPECT_EQ(c.lastStatus, Gdiplus::Ok);
        }, &resources);
        EXPECT_GT(CountNot(image, box, kBackground), 50) << "the text is drawn";
        ExpectNothingOutside(image, box, "long text wraps and is cut with an ellipsis inside its rectangle");
    }
}

TEST(DrawToolkit, AFamilyThatIsNotInstalledLeavesTheTextOutAndPaintingGoesOn) {
    DrawResources missing(L"No Such Family 7Q");
    for (const auto& label : kLabelPrimitives) {
        SCOPED_TRACE(label.name);
        std::vector<DrawnText> texts;
        const PixelImage image = RenderFrame(200, 80, [&](DrawContext& c, const RECT&) {
            c.textLog = &texts;
            label.draw(c, L"账号登录", RectF(10, 10, 180, 40), 20, 0xFFF7FAFF, true, TextAlign::Near);
            EXPECT_EQ(c.lastStatus, Gdiplus::FontFamilyNotFound);
            FillRoundRect(c, RectF(10, 60, 20, 10), 0, 0xFF5BE0A4);  // painting goes on
            EXPECT_EQ(c.lastStatus, Gdiplus::FontFamilyNotFound) << "no primitive clears the status";
        }, &missing);
        EXPECT_EQ(CountNot(image, RECT{0, 0, 200, 55}, kBackground), 0) << "no text in some other family";
        ExpectColours(image, {{15, 65, 0xFF5BE0A4, "the fill after the failed text"}});
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].text, L"账号登录");
    }
}

TEST(DrawToolkit, CachedAndPerCallObjectsDrawTheSameFrame) {
    auto scene = [](DrawContext& c, const RECT&) {
        DrawButton(c, RECT{10, 10, 150, 54}, L"开始同步测试", true);
        DrawLabel(c, L"剩余 240 积分", RectF(10, 60, 180, 30), 13, 0xFF79B9FF, true, TextAlign::Far);
        DrawCheckbox(c, RECT{10, 100, 180, 126}, true, L"保存账号和密码");
        DrawAlipayMark(c, RectF(10, 130, 40, 40));
    };
    DrawResources resources;
    const PixelImage cached = RenderFrame(200, 180, scene, &resources);
    const PixelImage perCall = RenderFrame(200, 180, scene, nullptr);
    const PixelImage cachedAgain = RenderFrame(200, 180, scene, &resources);
    EXPECT_TRUE(cached.pixels == perCall.pixels);
    EXPECT_TRUE(cached.pixels == cachedAgain.pixels);
}

TEST(DrawToolkit, IconTileAndPaymentMarks) {
    DrawResources resources;
    HICON saved = Globals().appIcon;
    Globals().appIcon = nullptr;
    const PixelImage image = RenderFrame(420, 140, [](DrawContext& c, const RECT&) {
        DrawAppIcon(c, RectF(10, 10, 52, 52));
        DrawAlipayMark(c, RectF(100, 10, 40, 40));
        DrawWeChatMark(c, RectF(200, 10, 120, 120));
    }, &resources);
    Globals().appIcon = saved;
    auto wx = [](float a) { return static_cast<int>(200 + a * 120); };
    auto wy = [](float b) { return static_cast<int>(10 + b * 120); };
    ExpectColours(image, {
        {14, 14, 0xFF2A66EC, "the monogram tile without an icon"},
        {10, 10, kWindowBackground, "a rounded tile"},
        {103, 13, 0xFF1677FF, "Alipay tile"},
        {wx(0.06f), wy(0.5f), 0xFF07C160, "WeChat Pay tile"},
        {wx(0.25f), wy(0.30f), 0xFFFFFFFF, "the first speech bubble"},
        {wx(0.75f), wy(0.62f), 0xFFFFFFFF, "the second speech bubble"},
        {wx(0.3225f), wy(0.4125f), 0xFF07C160, "an eye of the first bubble"},
        {wx(0.7375f), wy(0.5775f), 0xFF07C160, "an eye of the second bubble"},
    });
}

TEST(DrawToolkit, TheIconKeepsItsTransparency) {
    DrawResources resources;
    HICON saved = Globals().appIcon;
    Globals().appIcon = LoadIconW(nullptr, IDI_APPLICATION);
    ASSERT_NE(Globals().appIcon, nullptr);
    const PixelImage image = RenderFrame(100, 100, [](DrawContext& c, const RECT&) {
        FillRoundRect(c, RectF(0, 0, 100, 100), 0, 0xFFFF7E8F);
        DrawAppIcon(c, RectF(10, 10, 64, 64));
    }, &resources);
    Globals().appIcon = saved;
    // The icon is drawn (not the tile) and its transparent parts show what lies below, not black.
    EXPECT_FALSE(ColourNear(image.At(14, 14), 0xFF2A66EC, 8)) << "not the monogram tile";
    int below = 0, black = 0;
    for (int y = 10; y < 74; ++y)
        for (int x = 10; x < 74; ++x) {
            if (image.At(x, y) == 0xFF7E8F) ++below;
            if (image.At(x, y) == 0) ++black;
        }
    EXPECT_GT(below, 0) << "transparent pixels show the fill below";
    EXPECT_LT(black, 64 * 64 / 2) << "no black box around the artwork";
}

// ---- the buffered paint of a real window ------------------------------------------------------

std::function<void(HWND)> g_paint;

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT && g_paint) {
        g_paint(window);
        return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateTestWindow(int width, int height) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"OrvaneToolkitTest";
        RegisterClassW(&wc);
        registered = true;
    }
    HWND window = CreateWindowExW(WS_EX_TOPMOST, L"OrvaneToolkitTest", L"toolkit", WS_POPUP | WS_VISIBLE, 40, 40,
                                  width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    PumpUntil([] { return false; }, 50);
    return window;
}

TEST(BufferedPaint, CopiesOnlyTheInvalidatedPartAndGivesBackEveryObject) {
    HWND window = CreateTestWindow(300, 200);
    ASSERT_NE(window, nullptr);
    DrawResources resources;
    Argb colour = 0xFFFF7E8F;
    int painted = 0;
    g_paint = [&](HWND w) {
        EXPECT_TRUE(BufferedPaint(w, [&](DrawContext& c, const RECT& client) {
            ++painted;
            EXPECT_EQ(client.right, 300);
            EXPECT_EQ(client.bottom, 200);
            FillRoundRect(c, RectF(0, 0, 300, 200), 0, colour);
        }, &resources));
    };
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    colour = 0xFF5BE0A4;
    const RECT part{20, 30, 120, 90};
    InvalidateRect(window, &part, FALSE);
    UpdateWindow(window);
    PumpUntil([] { return false; }, 50);
    const PixelImage image = CaptureClientArea(window);
    ExpectColours(image, {
        {60, 60, 0xFF5BE0A4, "the invalidated part shows the new frame"},
        {200, 150, 0xFFFF7E8F, "the rest keeps the old frame"},
        {10, 60, 0xFFFF7E8F, "just left of the invalidated part"},
    });

    const GdiUsage before = GdiUsageNow();
    for (int i = 0; i < 300; ++i) {
        InvalidateRect(window, &part, FALSE);
        UpdateWindow(window);
    }
    const GdiUsage after = GdiUsageNow();
    EXPECT_EQ(after.holders, before.holders);
    EXPECT_EQ(after.system, before.system);
    EXPECT_GE(painted, 302);
    g_paint = nullptr;
    DestroyWindow(window);
}

TEST(BufferedPaint, AnEmptyClientAreaStillGetsAOnePixelBuffer) {
    HWND window = CreateTestWindow(0, 0);
    ASSERT_NE(window, nullptr);
    RECT seen{-1, -1, -1, -1};
    bool drawn = false;
    g_paint = [&](HWND w) { drawn = BufferedPaint(w, [&](DrawContext&, const RECT& client) { seen = client; }); };
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_INTERNALPAINT);
    EXPECT_TRUE(drawn);
    EXPECT_EQ(seen.right, 1);
    EXPECT_EQ(seen.bottom, 1);
    g_paint = nullptr;
    DestroyWindow(window);
}

}  // namespace
