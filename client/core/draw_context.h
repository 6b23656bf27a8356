// The drawing toolkit: every surface that is not a standard control is composed of these primitives
// (rounded rectangles, text in the one font family, buttons, check boxes, field frames, the icon and
// the two payment marks), drawn with GDI+. The screens are laid out in pixels of a 96-DPI display; a
// window on a display of another DPI draws them through one scale factor (BufferedPaint's `scale`), so
// coordinates, radii and font sizes all grow together. GDI+ must be running (the program starts it once).
#pragma once

#include <windows.h>
#include <gdiplus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using Argb = uint32_t;  // alpha in the top byte (0xFF opaque), as GDI+ takes it

// The one font family of every text the program paints.
inline constexpr const wchar_t* kUiFontFamily = L"Microsoft YaHei UI";

enum class TextAlign { Near = 0, Centre = 1, Far = 2 };

// What a label drew: kept only when a context asks for it (tests and figures read the texts of a
// frame without comparing glyphs).
struct DrawnText {
    std::wstring text;
    Gdiplus::RectF rect;
    float size = 0;
    Argb colour = 0;
    bool bold = false;
};

// Font family, fonts, text formats and the icon bitmap, made once and kept for a window's life.
// Without one, each primitive makes and frees its own objects per call; the result is the same.
// Must be destroyed while GDI+ still runs.
class DrawResources {
public:
    // `family` is the one font family; tests pass one that is not installed.
    explicit DrawResources(const wchar_t* family = kUiFontFamily);
    ~DrawResources();
    DrawResources(const DrawResources&) = delete;
    DrawResources& operator=(const DrawResources&) = delete;

    const std::wstring& familyName() const { return familyName_; }
    // Null when the family is not installed (there is no fallback family: the text is then left out).
    const Gdiplus::FontFamily* Family();
    const Gdiplus::Font* FontFor(float sizePx, bool bold);
    const Gdiplus::StringFormat* FormatFor(TextAlign align);
    // The application icon as a bitmap with its transparency, or null without an icon.
    Gdiplus::Bitmap* IconBitmap(HICON icon);

private:
    std::wstring familyName_;
    std::unique_ptr<Gdiplus::FontFamily> family_;
    bool familyTried_ = false;
    std::map<std::pair<int, bool>, std::unique_ptr<Gdiplus::Font>> fonts_;
    std::unique_ptr<Gdiplus::StringFormat> formats_[3];
    HICON iconSource_ = nullptr;
    std::unique_ptr<Gdiplus::Bitmap> icon_;
};

// The target of every primitive.
struct DrawContext {
    Gdiplus::Graphics* graphics = nullptr;
    // The last status other than Ok of a final fill or draw call; never cleared by a primitive.
    Gdiplus::Status lastStatus = Gdiplus::Ok;
    DrawResources* resources = nullptr;     // optional cache (see DrawResources)
    std::vector<DrawnText>* textLog = nullptr;  // optional record of the labels drawn
    // The part of the surface this paint shows (the window's invalidated rectangle). A primitive
    // wholly outside it is skipped: its pixels would never reach the screen.
    Gdiplus::RectF paintArea{-1e6f, -1e6f, 2e6f, 2e6f};
};

// Float rectangles are (x, y, width, height); integer rectangles are RECT (left, top, right, bottom).
using Gdiplus::RectF;

void FillRoundRect(DrawContext& context, const RectF& rect, float radius, Argb colour);
// Diagonal two-colour gradient, colour 1 at the top-left corner; always the rounded path.
void FillGradientRoundRect(DrawContext& context, const RectF& rect, float radius, Argb colour1, Argb colour2);
// Outline inside the rectangle: the path is inset by half the pen width.
void StrokeRoundRect(DrawContext& context, const RECT& rect, Argb colour, float penWidth, float radius);
// Text vertically centred in the rectangle; long text wraps and ends in an ellipsis, never spills.
void DrawLabel(DrawContext& context, const std::wstring& text, const RectF& rect, float sizePx, Argb colour,
               bool bold, TextAlign align);
// The same for status and detail lines: a text wider than the rectangle breaks at phrase ends, never
// inside a word, and never leaves one or two characters alone on its last line (BreakIntoLines).
void DrawPhrasedLabel(DrawContext& context, const std::wstring& text, const RectF& rect, float sizePx, Argb colour,
                      bool bold, TextAlign align);
void DrawButton(DrawContext& context, const RECT& rect, const std::wstring& caption, bool primary);
void DrawCheckbox(DrawContext& context, const RECT& rect, bool ticked, const std::wstring& label);
// The frame painted behind a child text field; `focused` when that field has the keyboard focus.
void DrawInputFrame(DrawContext& context, const RECT& rect, bool focused);
// The application icon (the one loaded at start-up), or the monogram tile without one.
void DrawAppIcon(DrawContext& context, const RectF& rect);
void DrawAlipayMark(DrawContext& context, const RectF& rect);
void DrawWeChatMark(DrawContext& context, const RectF& rect);

// The plain fills the screens use beside the primitives.
void FillEllipse(DrawContext& context, const RectF& rect, Argb colour);
void FillGradientRect(DrawContext& context, const RectF& rect, Argb colour1, Argb colour2);

// The format of a 32-bit top-down pixel buffer (0xAARRGGBB per pixel, rows from the top), as DIB
// sections for layered windows and pixel reads use it.
BITMAPINFO TopDownArgbFormat(int width, int height);

// Draws a frame of `size` with `render` (premultiplied 0xAARRGGBB pixels, rows top-down, handed over
// fully transparent) and makes it the picture of the layered `window` at the window's current place.
// The frame is made and freed within the call: the bitmap is deselected before it is deleted. False
// when a surface could not be made (the window keeps its previous picture).
bool PushLayeredFrame(HWND window, SIZE size, const std::function<void(uint32_t* pixels)>& render);

// The back buffer's first colour: the window background.
inline constexpr Argb kWindowBackground = 0xFF080E18;

// The whole paint of a window (its WM_PAINT): `painter` composes the whole client area, drawn into
// an off-screen bitmap that covers the invalidated part, which is then copied to the window in one
// step, so nothing flickers. Returns false when the buffer could not be made (nothing is drawn then).
// With a `scale` other than 1 the painter draws in layout pixels (the client area divided by the
// scale) and every shape and text reaches the window `scale` times as large.
using ScreenPainter = std::function<void(DrawContext& context, const RECT& client)>;
bool BufferedPaint(HWND window, const ScreenPainter& painter, DrawResources* resources = nullptr,
                   std::vector<DrawnText>* textLog = nullptr, float scale = 1.0f);

// The same frame drawn into a device context of the given size (the buffered paint's inner step);
// only `area` needs to be right afterwards (null: the whole surface).
void PaintFrame(HDC dc, int width, int height, const ScreenPainter& painter, DrawResources* resources,
                std::vector<DrawnText>* textLog, const RECT* area = nullptr);
// The same, into a surface that holds only the client pixels from `origin` on.
void PaintFrameAt(HDC dc, POINT origin, int width, int height, const ScreenPainter& painter,
                  DrawResources* resources, std::vector<DrawnText>* textLog, const RECT* area, float scale = 1.0f);
