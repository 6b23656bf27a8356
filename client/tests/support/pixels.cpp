#include "support/pixels.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/holders.h"

namespace {

// A 32-bit top-down DIB section selected into its own memory DC.
class DibCanvas {
public:
    DibCanvas(int width, int height) : width_(width), height_(height) {
        const BITMAPINFO format = TopDownArgbFormat(width, height);
        dc_.reset(CreateCompatibleDC(nullptr));
        bitmap_.reset(CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits_, nullptr, 0));
        if (dc_ && bitmap_) selected_ = std::make_unique<SelectedObject>(dc_.get(), bitmap_.get());
    }
    ~DibCanvas() { selected_.reset(); }
    bool Ready() const { return selected_ != nullptr && bits_ != nullptr; }
    HDC dc() const { return dc_.get(); }

    PixelImage Image() const {
        PixelImage image;
        if (!Ready()) return image;
        GdiFlush();
        image.width = width_;
        image.height = height_;
        const auto* source = static_cast<const uint32_t*>(bits_);
        image.pixels.assign(source, source + static_cast<size_t>(width_) * height_);
        for (uint32_t& p : image.pixels) p &= 0xFFFFFF;
        return image;
    }

private:
    int width_, height_;
    ScopedMemoryDc dc_;
    ScopedBitmap bitmap_;
    void* bits_ = nullptr;
    std::unique_ptr<SelectedObject> selected_;
};

}  // namespace

uint32_t PixelImage::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0xFFFFFFFF;
    return pixels[static_cast<size_t>(y) * width + x];
}

PixelImage CaptureScreenRect(const RECT& screenRect) {
    const int width = screenRect.right - screenRect.left, height = screenRect.bottom - screenRect.top;
    if (width <= 0 || height <= 0) return {};
    DibCanvas canvas(width, height);
    WindowDc screen(nullptr);
    if (!canvas.Ready() || !screen) return {};
    BitBlt(canvas.dc(), 0, 0, width, height, screen.get(), screenRect.left, screenRect.top, SRCCOPY);
    return canvas.Image();
}

PixelImage CaptureClientArea(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    return CaptureScreenRect({origin.x, origin.y, origin.x + client.right, origin.y + client.bottom});
}

PixelImage RenderFrame(int width, int height, const ScreenPainter& painter, DrawResources* resources) {
    DibCanvas canvas(width, height);
    if (!canvas.Ready()) return {};
    PaintFrame(canvas.dc(), width, height, painter, resources, nullptr);
    return canvas.Image();
}

PixelImage RenderFrameAt(const RECT& area, const ScreenPainter& painter, DrawResources* resources) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    WindowDc screen(nullptr);
    if (!screen || width <= 0 || height <= 0) return {};
    // Into a bitmap compatible with the screen, as a window's paint draws: text is smoothed
    // differently there than in a 32-bit DIB section.
    ScopedMemoryDc memory(CreateCompatibleDC(screen.get()));
    ScopedBitmap bitmap(memory ? CreateCompatibleBitmap(screen.get(), width, height) : nullptr);
    if (!bitmap) return {};
    {
        SelectedObject selected(memory.get(), bitmap.get());
        PaintFrameAt(memory.get(), {area.left, area.top}, area.right, area.bottom, painter, resources, nullptr, &area);
    }
    PixelImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width) * height);
    BITMAPINFO format = TopDownArgbFormat(width, height);
    if (GetDIBits(memory.get(), bitmap.get(), 0, height, image.pixels.data(), &format, DIB_RGB_COLORS) != height)
        return {};
    for (uint32_t& p : image.pixels) p &= 0xFFFFFF;
    return image;
}

bool PremultipliedPixelIs(const std::vector<uint32_t>& frame, int width, int x, int y, Argb expected, int tolerance) {
    const uint32_t got = frame[static_cast<size_t>(y) * width + x];
    const uint32_t alpha = expected >> 24;
    for (int shift : {0, 8, 16}) {
        const int want = static_cast<int>(((expected >> shift) & 0xFF) * alpha / 255);
        if (std::abs(static_cast<int>((got >> shift) & 0xFF) - want) > tolerance) return false;
    }
    return std::abs(static_cast<int>(got >> 24) - static_cast<int>(alpha)) <= tolerance;
}

uint32_t Blend(Argb argb, uint32_t underRgb) {
    const uint32_t alpha = argb >> 24;
    auto channel = [&](int shift) {
        const uint32_t over = (argb >> shift) & 0xFF, under = (underRgb >> shift) & 0xFF;
        return ((over * alpha + under * (255 - alpha) + 127) / 255) << shift;
    };
    return channel(16) | channel(8) | channel(0);
}

bool ColourNear(uint32_t rgb, Argb expected, int tolerance) {
    if (rgb > 0xFFFFFF) return false;
    for (int shift : {16, 8, 0})
        if (std::abs(static_cast<int>((rgb >> shift) & 0xFF) - static_cast<int>((expected >> shift) & 0xFF)) >
            tolerance)
            return false;
    return true;
}

std::string ColourText(uint32_t rgb) {
    if (rgb > 0xFFFFFF) return "(outside the image)";
    char text[16];
    std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(rgb));
    return text;
}

bool SavePng(const PixelImage& image, const std::wstring& path) {
    if (image.Empty()) return false;
    UINT count = 0, size = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return false;
    std::vector<BYTE> buffer(size);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, size, encoders) != Gdiplus::Ok) return false;
    const CLSID* png = nullptr;
    for (UINT i = 0; i < count; ++i)
        if (std::wstring(encoders[i].MimeType) == L"image/png") png = &encoders[i].Clsid;
    if (!png) return false;
    std::vector<uint32_t> opaque(image.pixels);
    for (uint32_t& p : opaque) p |= 0xFF000000u;
    Gdiplus::Bitmap bitmap(image.width, image.height, image.width * 4, PixelFormat32bppARGB,
                           reinterpret_cast<BYTE*>(opaque.data()));
    return bitmap.Save(path.c_str(), png, nullptr) == Gdiplus::Ok;
}

void ExpectColours(const PixelImage& image, std::initializer_list<ColourProbe> probes) {
    ASSERT_FALSE(image.Empty()) << "nothing captured";
    for (const ColourProbe& p : probes)
        EXPECT_TRUE(ColourNear(image.At(p.x, p.y), p.expected, p.tolerance))
            << p.what << " at (" << p.x << ", " << p.y << "): " << ColourText(image.At(p.x, p.y)) << ", expected "
            << ColourText(p.expected & 0xFFFFFF);
}

int CountNear(const PixelImage& image, const RECT& area, Argb colour, int tolerance) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (ColourNear(image.At(x, y), colour, tolerance)) ++count;
    return count;
}
