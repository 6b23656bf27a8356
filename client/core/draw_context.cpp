#include "core/draw_context.h"

#include "core/line_breaks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/globals.h"
#include "core/holders.h"

using namespace Gdiplus;

namespace {

// The monogram of the Latin brand name Orvane, on the icon tile and the avatar.
constexpr const wchar_t* kMonogram = L"O";

void Record(DrawContext& context, Status status) {
    if (status != Ok) context.lastStatus = status;
}

Color ColourOf(Argb argb) { return Color(static_cast<ARGB>(argb)); }

RectF ToFloat(const RECT& rect) {
    return RectF(static_cast<REAL>(rect.left), static_cast<REAL>(rect.top), static_cast<REAL>(rect.right - rect.left),
                 static_cast<REAL>(rect.bottom - rect.top));
}

// Whether the shape within `bounds` cannot show in this paint.
bool Skipped(const DrawContext& context, const RectF& bounds) {
    const RectF& area = context.paintArea;
    return bounds.X >= area.X + area.Width || bounds.Y >= area.Y + area.Height || bounds.X + bounds.Width <= area.X ||
           bounds.Y + bounds.Height <= area.Y;
}

// The rounded outline: four quarter arcs in d × d boxes, clockwise from the top-left corner.
void AddRoundedPath(GraphicsPath& path, float x, float y, float w, float h, float radius) {
    const float d = 2 * radius;
    path.AddArc(x, y, d, d, 180, 90);
    path.AddArc(x + w - d, y, d, d, 270, 90);
    path.AddArc(x + w - d, y + h - d, d, d, 0, 90);
    path.AddArc(x, y + h - d, d, d, 90, 90);
    path.CloseFigure();
}

// A font and a text format either borrowed from the window's cache or made for this one call.
class TextTools {
public:
    TextTools(DrawContext& context, float sizePx, bool bold, TextAlign align) {
        const INT style = bold ? FontStyleBold : FontStyleRegular;
        if (context.resources) {
            font_ = context.resources->FontFor(sizePx, bold);
            format_ = context.resources->FormatFor(align);
            return;
        }
        ownFamily_ = std::make_unique<FontFamily>(kUiFontFamily);
        if (ownFamily_->GetLastStatus() != Ok) return;
        ownFont_ = std::make_unique<Font>(ownFamily_.get(), sizePx, style, UnitPixel);
        if (ownFont_->GetLastStatus() == Ok) font_ = ownFont_.get();
        ownFormat_ = MakeFormat(align);
        format_ = ownFormat_.get();
    }
    const Font* font() const { return font_; }
    const StringFormat* format() const { return format_; }

    static std::unique_ptr<StringFormat> MakeFormat(TextAlign align) {
        // No format flags, so long text wraps inside its rectangle; the last line that fits ends in
        // an ellipsis.
        auto format = std::make_unique<StringFormat>(0, LANG_NEUTRAL);
        format->SetAlignment(align == TextAlign::Centre ? StringAlignmentCenter
                             : align == TextAlign::Far  ? StringAlignmentFar
                                                        : StringAlignmentNear);
        format->SetLineAlignment(StringAlignmentCenter);
        format->SetTrimming(StringTrimmingEllipsisCharacter);
        return format;
    }

private:
    std::unique_ptr<FontFamily> ownFamily_;
    std::unique_ptr<Font> ownFont_;
    std::unique_ptr<StringFormat> ownFormat_;
    const Font* font_ = nullptr;
    const StringFormat* format_ = nullptr;
};

// The icon's colour bitmap with its alpha channel (Bitmap::FromHICON drops the alpha and leaves a
// black box around the artwork); icons without alpha take their transparency from the mask.
std::unique_ptr<Bitmap> IconToBitmap(HICON icon) {
    if (!icon) return nullptr;
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return nullptr;
    ScopedBitmap colour(info.hbmColor);
    ScopedBitmap mask(info.hbmMask);
    if (!colour) {
        std::unique_ptr<Bitmap> plain(Bitmap::FromHICON(icon));
        return plain && plain->GetLastStatus() == Ok ? std::move(plain) : nullptr;
    }
    BITMAP shape{};
    if (!GetObjectW(colour.get(), sizeof shape, &shape) || shape.bmWidth <= 0 || shape.bmHeight <= 0) return nullptr;
    const int width = shape.bmWidth, height = shape.bmHeight;

    BITMAPINFO format = TopDownArgbFormat(width, height);
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    WindowDc screen(nullptr);
    if (!screen || GetDIBits(screen.get(), colour.get(), 0, height, pixels.data(), &format, DIB_RGB_COLORS) != height)
        return nullptr;
    const bool hasAlpha = std::any_of(pixels.begin(), pixels.end(), [](uint32_t p) { return (p >> 24) != 0; });
    if (!hasAlpha) {
        std::vector<uint32_t> maskPixels(pixels.size());
        const bool maskRead = mask && GetDIBits(screen.get(), mask.get(), 0, height, maskPixels.data(), &format,
                                                DIB_RGB_COLORS) == height;
        for (size_t i = 0; i < pixels.size(); ++i) {
            const bool transparent = maskRead && (maskPixels[i] & 0xFFFFFF) != 0;
            pixels[i] = transparent ? 0 : (pixels[i] | 0xFF000000u);
        }
    }
    auto bitmap = std::make_unique<Bitmap>(width, height, PixelFormat32bppARGB);
    if (bitmap->GetLastStatus() != Ok) return nullptr;
    Rect whole(0, 0, width, height);
    BitmapData data{};
    if (bitmap->LockBits(&whole, ImageLockModeWrite, PixelFormat32bppARGB, &data) != Ok) return nullptr;
    for (int row = 0; row < height; ++row)
        std::memcpy(static_cast<BYTE*>(data.Scan0) + static_cast<ptrdiff_t>(row) * data.Stride,
                    pixels.data() + static_cast<size_t>(row) * width, static_cast<size_t>(width) * 4);
    bitmap->UnlockBits(&data);
    return bitmap;
}

}  // namespace

BITMAPINFO TopDownArgbFormat(int width, int height) {
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;  // top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    return format;
}

bool PushLayeredFrame(HWND window, SIZE size, const std::function<void(uint32_t* pixels)>& render) {
    WindowDc screen(nullptr);
    if (!screen) return false;
    ScopedMemoryDc memory(CreateCompatibleDC(screen.get()));
    if (!memory) return false;
    const BITMAPINFO format = TopDownArgbFormat(size.cx, size.cy);
    void* bits = nullptr;
    ScopedBitmap frame(CreateDIBSection(screen.get(), &format, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!frame || !bits) return false;
    // Declared after the bitmap, so it is selected out again before the bitmap is deleted: a bitmap
    // still selected cannot be, and one lost per countdown frame would use up the process's GDI
    // objects within minutes.
    SelectedObject selected(memory.get(), frame.get());
    std::memset(bits, 0, static_cast<size_t>(size.cx) * size.cy * 4);
    render(static_cast<uint32_t*>(bits));
    GdiFlush();
    // The self-test shows the overlays to check where they stand, never to the user: the frame is
    // drawn but not handed over, and a layered window that never received a picture stays off the
    // screen although it counts as shown.
    if (Globals().selfTest) return true;

    RECT placed{};
    GetWindowRect(window, &placed);
    POINT origin{placed.left, placed.top}, source{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    return UpdateLayeredWindow(window, screen.get(), &origin, &size, memory.get(), &source, 0, &blend, ULW_ALPHA) !=
           FALSE;
}

// ---- DrawResources ----------------------------------------------------------------------------

DrawResources::DrawResources(const wchar_t* family) : familyName_(family) {}

DrawResources::~DrawResources() = default;

const FontFamily* DrawResources::Family() {
    if (!familyTried_) {
        familyTried_ = true;
        family_ = std::make_unique<FontFamily>(familyName_.c_str());
        if (family_->GetLastStatus() != Ok) family_.reset();
    }
    return family_.get();
}

const Font* DrawResources::FontFor(float sizePx, bool bold) {
    const FontFamily* family = Family();
    if (!family) return nullptr;
    const auto key = std::make_pair(static_cast<int>(std::lround(sizePx * 100)), bold);
    auto found = fonts_.find(key);
    if (found == fonts_.end()) {
        auto font = std::make_unique<Font>(family, sizePx, bold ? FontStyleBold : FontStyleRegular, UnitPixel);
        if (font->GetLastStatus() != Ok) return nullptr;
        found = fonts_.emplace(key, std::move(font)).first;
    }
    return found->second.get();
}

const StringFormat* DrawResources::FormatFor(TextAlign align) {
    const int index = std::clamp(static_cast<int>(align), 0, 2);
    if (!formats_[index]) formats_[index] = TextTools::MakeFormat(static_cast<TextAlign>(index));
    return formats_[index].get();
}

Bitmap* DrawResources::IconBitmap(HICON icon) {
    if (icon != iconSource_ || !icon_) {
        iconSource_ = icon;
        icon_ = IconToBitmap(icon);
    }
    return icon_.get();
}

// ---- primitives -------------------------------------------------------------------------------

void FillRoundRect(DrawContext& context, const RectF& rect, float radius, Argb colour) {
    if (Skipped(context, rect)) return;
    SolidBrush brush(ColourOf(colour));
    if (radius <= 0) {
        // Only the part that shows: a translucent layer over the whole window costs a lot to blend.
        RectF shown;
        RectF::Intersect(shown, rect, context.paintArea);
        Record(context, context.graphics->FillRectangle(&brush, shown));
        return;
    }
    GraphicsPath path(FillModeAlternate);
    AddRoundedPath(path, rect.X, rect.Y, rect.Width, rect.Height, radius);
    Record(context, context.graphics->FillPath(&brush, &path));
}

void FillGradientRoundRect(DrawContext& context, const RectF& rect, float radius, Argb colour1, Argb colour2) {
    if (Skipped(context, rect)) return;
    LinearGradientBrush brush(rect, ColourOf(colour1), ColourOf(colour2), LinearGradientModeForwardDiagonal);
    brush.SetWrapMode(WrapModeTile);
    GraphicsPath path(FillModeAlternate);
    AddRoundedPath(path, rect.X, rect.Y, rect.Width, rect.Height, radius);
    Record(context, context.graphics->FillPath(&brush, &path));
}

void StrokeRoundRect(DrawContext& context, const RECT& rect, Argb colour, float penWidth, float radius) {
    if (Skipped(context, ToFloat(rect))) return;
    const float half = penWidth / 2;
    const float x = static_cast<float>(rect.left) + half;
    const float y = static_cast<float>(rect.top) + half;
    const float w = static_cast<float>(rect.right - rect.left) - penWidth;
    const float h = static_cast<float>(rect.bottom - rect.top) - penWidth;
    GraphicsPath path(FillModeAlternate);
    AddRoundedPath(path, x, y, w, h, radius);
    Pen pen(ColourOf(colour), penWidth);  // width in world units
    Record(context, context.graphics->DrawPath(&pen, &path));
}

namespace {

// How a label's text is laid out in its rectangle before it is drawn.
enum class LineBreaking {
    Wrapped,  // as GDI+ wraps it
    Phrased,  // broken at phrase ends first (BreakIntoLines)
};

// The text broken into lines at phrase ends, each measured with the font and format it is drawn
// with, so a line measured to fit is laid out on one line again.
std::wstring PhrasedLines(DrawContext& context, const TextTools& tools, const std::wstring& text, const RectF& rect) {
    const RectF wide(0, 0, 100000, rect.Height > 0 ? rect.Height * 4 : 1000);
    const auto measure = [&](const std::wstring& piece) {
        RectF bounds;
        context.graphics->MeasureString(piece.c_str(), static_cast<INT>(piece.size()), tools.font(), wide,
                                        tools.format(), &bounds);
        return bounds.Width;
    };
    std::wstring broken;
    for (const std::wstring& line : BreakIntoLines(text, rect.Width - 1, measure)) {
        if (!broken.empty()) broken += L'\n';
        broken += line;
    }
    return broken;
}

// Every label's one way to the surface: recorded when the context keeps a log, skipped outside the
// paint, left out without its font family, clipped to its rectangle.
void PaintLabel(DrawContext& context, const std::wstring& text, const RectF& rect, float sizePx, Argb colour,
                bool bold, TextAlign align, LineBreaking breaking) {
    if (context.textLog) context.textLog->push_back({text, rect, sizePx, colour, bold});
    if (Skipped(context, rect)) return;
    TextTools tools(context, sizePx, bold, align);
    if (!tools.font()) {
        // The family is not installed: there is no fallback family, the text is left out.
        Record(context, FontFamilyNotFound);
        return;
    }
    const std::wstring shown = breaking == LineBreaking::Phrased ? PhrasedLines(context, tools, text, rect) : text;
    SolidBrush brush(ColourOf(colour));
    // Clipped to its rectangle: lines that wrap beyond it are cut, they never spill onto neighbours.
    const GraphicsState state = context.graphics->Save();
    context.graphics->IntersectClip(rect);
    Record(context, context.graphics->DrawString(shown.c_str(), static_cast<INT>(shown.size()), tools.font(), rect,
                                                 tools.format(), &brush));
    context.graphics->Restore(state);
}

}  // namespace

void DrawLabel(DrawContext& context, const std::wstring& text, const RectF& rect, float sizePx, Argb colour,
               bool bold, TextAlign align) {
    PaintLabel(context, text, rect, sizePx, colour, bold, align, LineBreaking::Wrapped);
}

void DrawPhrasedLabel(DrawContext& context, const std::wstring& text, const RectF& rect, float sizePx, Argb colour,
                      bool bold, TextAlign align) {
    PaintLabel(context, text, rect, sizePx, colour, bold, align, LineBreaking::Phrased);
}

void DrawButton(DrawContext& context, const RECT& rect, const std::wstring& caption, bool primary) {
    const RectF area = ToFloat(rect);
    FillRoundRect(context, area, 9, primary ? 0xFF2A66EC : 0xFF1D2D44);
    DrawLabel(context, caption, area, 14, 0xFFF5F9FF, true, TextAlign::Centre);
}

void DrawCheckbox(DrawContext& context, const RECT& rect, bool ticked, const std::wstring& label) {
    const RectF box(static_cast<REAL>(rect.left), static_cast<REAL>(rect.top + 3), 18, 18);
    FillRoundRect(context, box, 4, ticked ? 0xFF2A66EC : 0xFF1F324A);
    if (ticked) DrawLabel(context, L"✓", box, 14, 0xFFFFFFFF, true, TextAlign::Centre);
    if (label.empty()) return;
    const RectF text(static_cast<REAL>(rect.left + 26), static_cast<REAL>(rect.top),
                     static_cast<REAL>(rect.right - rect.left - 26), static_cast<REAL>(rect.bottom - rect.top));
    DrawLabel(context, label, text, 12, 0xFFBAC9DC, false, TextAlign::Near);
}

void DrawInputFrame(DrawContext& context, const RECT& rect, bool focused) {
    const RectF area = ToFloat(rect);
    FillRoundRect(context, area, 12, 0xFF18293F);
    if (focused) StrokeRoundRect(context, rect, 0xFF4D93FF, 2, 12);
    else StrokeRoundRect(context, rect, 0xFF2A3F58, 1, 12);
}

void DrawAppIcon(DrawContext& context, const RectF& rect) {
    if (Skipped(context, rect)) return;
    HICON icon = Globals().appIcon;
    std::unique_ptr<Bitmap> ownBitmap;
    Bitmap* bitmap = nullptr;
    if (icon) {
        if (context.resources) {
            bitmap = context.resources->IconBitmap(icon);
        } else {
            ownBitmap = IconToBitmap(icon);
            bitmap = ownBitmap.get();
        }
    }
    if (bitmap) {
        Record(context, context.graphics->DrawImage(bitmap, rect));
        return;
    }
    FillRoundRect(context, rect, 10, 0xFF2A66EC);
    DrawLabel(context, kMonogram, rect, 18, 0xFFFFFFFF, true, TextAlign::Centre);
}

void DrawAlipayMark(DrawContext& context, const RectF& rect) {
    FillRoundRect(context, rect, 11, 0xFF1677FF);
    DrawLabel(context, L"支", rect, rect.Width / 2, 0xFFFFFFFF, true, TextAlign::Centre);
}

void DrawWeChatMark(DrawContext& context, const RectF& rect) {
    if (Skipped(context, rect)) return;
    const float x = rect.X, y = rect.Y, w = rect.Width, h = rect.Height;
    auto at = [&](float a, float b, float sw, float sh) { return RectF(x + a * w, y + b * h, sw * w, sh * h); };
    auto point = [&](float a, float b) { return PointF(x + a * w, y + b * h); };
    FillRoundRect(context, rect, 11, 0xFF07C160);

    SolidBrush white(Color(0xFFFFFFFF));
    Record(context, context.graphics->FillEllipse(&white, at(0.14f, 0.23f, 0.55f, 0.43f)));
    const PointF tail1[] = {point(0.22f, 0.57f), point(0.16f, 0.76f), point(0.36f, 0.65f)};
    Record(context, context.graphics->FillPolygon(&white, tail1, 3));
    Record(context, context.graphics->FillEllipse(&white, at(0.40f, 0.42f, 0.48f, 0.37f)));
    const PointF tail2[] = {point(0.72f, 0.72f), point(0.82f, 0.87f), point(0.80f, 0.68f)};
    Record(context, context.graphics->FillPolygon(&white, tail2, 3));

    SolidBrush green(Color(0xFF07C160));
    Record(context, context.graphics->FillEllipse(&green, at(0.29f, 0.38f, 0.065f, 0.065f)));
    Record(context, context.graphics->FillEllipse(&green, at(0.48f, 0.38f, 0.065f, 0.065f)));
    Record(context, context.graphics->FillEllipse(&green, at(0.56f, 0.55f, 0.055f, 0.055f)));
    Record(context, context.graphics->FillEllipse(&green, at(0.71f, 0.55f, 0.055f, 0.055f)));
}

void FillEllipse(DrawContext& context, const RectF& rect, Argb colour) {
    if (Skipped(context, rect)) return;
    SolidBrush brush(ColourOf(colour));
    Record(context, context.graphics->FillEllipse(&brush, rect));
}

void FillGradientRect(DrawContext& context, const RectF& rect, Argb colour1, Argb colour2) {
    if (Skipped(context, rect)) return;
    // The brush spans the whole rectangle; only the part that shows is filled.
    LinearGradientBrush brush(rect, ColourOf(colour1), ColourOf(colour2), LinearGradientModeForwardDiagonal);
    RectF shown;
    RectF::Intersect(shown, rect, context.paintArea);
    Record(context, context.graphics->FillRectangle(&brush, shown));
}

// ---- the buffered paint -----------------------------------------------------------------------

void PaintFrame(HDC dc, int width, int height, const ScreenPainter& painter, DrawResources* resources,
                std::vector<DrawnText>* textLog, const RECT* area) {
    PaintFrameAt(dc, POINT{0, 0}, width, height, painter, resources, textLog, area);
}

void PaintFrameAt(HDC dc, POINT origin, int width, int height, const ScreenPainter& painter,
                  DrawResources* resources, std::vector<DrawnText>* textLog, const RECT* area, float scale) {
    Graphics graphics(dc);
    graphics.SetSmoothingMode(SmoothingModeAntiAlias);
    graphics.SetTextRenderingHint(TextRenderingHintClearTypeGridFit);
    if (!(scale > 0.0f)) scale = 1.0f;
    // The painter works in layout pixels: the client area divided by the scale.
    const RECT client{0, 0, static_cast<LONG>(width / scale + 0.5f), static_cast<LONG>(height / scale + 0.5f)};
    DrawContext context{&graphics, Ok, resources, textLog, ToFloat(client)};
    if (area && scale == 1.0f) {
        RectF::Intersect(context.paintArea, context.paintArea, ToFloat(*area));
    } else if (area) {
        // The window's part to paint, in layout pixels, one pixel wider on each side for the rounding.
        const RectF part((area->left / scale) - 1, (area->top / scale) - 1, (area->right - area->left) / scale + 2,
                         (area->bottom - area->top) / scale + 2);
        RectF::Intersect(context.paintArea, context.paintArea, part);
    }
    // The surface holds the paint area only: client pixel (x, y) lands at (x, y) − origin; a layout
    // pixel (x, y) is client pixel (x, y) × scale.
    graphics.TranslateTransform(static_cast<REAL>(-origin.x), static_cast<REAL>(-origin.y));
    if (scale != 1.0f) graphics.ScaleTransform(scale, scale);
    graphics.SetClip(context.paintArea);
    graphics.Clear(Color(kWindowBackground));
    painter(context, client);
    graphics.Flush(FlushIntentionSync);
}

bool BufferedPaint(HWND window, const ScreenPainter& painter, DrawResources* resources,
                   std::vector<DrawnText>* textLog, float scale) {
    PaintScope paint(window);
    if (!paint.dc()) return false;
    RECT client{};
    GetClientRect(window, &client);
    const int width = std::max(1L, client.right - client.left);
    const int height = std::max(1L, client.bottom - client.top);
    // The back buffer covers what this paint shows: the whole client area for a full paint, the
    // remaining time's line for a countdown tick (a full-size buffer per tick would cost more than
    // the drawing itself).
    RECT area = paint.area();
    if (!IntersectRect(&area, &area, &client)) area = RECT{0, 0, 1, 1};
    const int areaWidth = std::max(1L, area.right - area.left);
    const int areaHeight = std::max(1L, area.bottom - area.top);

    ScopedMemoryDc buffer(CreateCompatibleDC(paint.dc()));
    ScopedBitmap bitmap(buffer ? CreateCompatibleBitmap(paint.dc(), areaWidth, areaHeight) : nullptr);
    if (!buffer || !bitmap) return false;
    // Declared after the bitmap, so the old bitmap is selected back before the bitmap is deleted.
    SelectedObject selected(buffer.get(), bitmap.get());

    PaintFrameAt(buffer.get(), POINT{area.left, area.top}, width, height, painter, resources, textLog, &area, scale);
    BitBlt(paint.dc(), area.left, area.top, areaWidth, areaHeight, buffer.get(), 0, 0, SRCCOPY);
    return true;
}
