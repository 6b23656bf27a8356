// Pixels of what the program drew: a screen copy of a real window as the user sees it (child
// controls included), or a frame drawn off-screen. Tests compare colours at points well inside
// filled shapes, never the shapes of glyphs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/draw_context.h"

struct PixelImage {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, rows top-down

    bool Empty() const { return pixels.empty(); }
    // The colour at (x, y); 0xFFFFFFFF (not a colour) outside the image.
    uint32_t At(int x, int y) const;
};

// A copy of the screen's pixels inside `screenRect`.
PixelImage CaptureScreenRect(const RECT& screenRect);
// What the screen shows of the window's client area (the window must be visible and on top).
PixelImage CaptureClientArea(HWND window);
// A frame drawn off-screen by the same paint step the windows use.
PixelImage RenderFrame(int width, int height, const ScreenPainter& painter, DrawResources* resources = nullptr);

// The part `area` of a frame drawn off-screen the way a window's paint draws it (into a bitmap
// compatible with the screen), in client coordinates: its pixel (0, 0) is the area's top-left
// corner, so the painter draws exactly where the window draws.
PixelImage RenderFrameAt(const RECT& area, const ScreenPainter& painter, DrawResources* resources = nullptr);

// `argb` drawn over an opaque `under` colour, as 0x00RRGGBB.
uint32_t Blend(Argb argb, uint32_t underRgb);
// Whether every channel of `rgb` is within `tolerance` of `expected` (its alpha ignored).
bool ColourNear(uint32_t rgb, Argb expected, int tolerance = 3);
// "#RRGGBB" for failure messages.
std::string ColourText(uint32_t rgb);

// Saves the image as a PNG file; false when it could not be written.
bool SavePng(const PixelImage& image, const std::wstring& path);

// One point of a colour table: where, which colour (its alpha ignored), and what lies there.
struct ColourProbe {
    int x, y;
    Argb expected;
    const char* what;
    int tolerance = 3;
};
// Whether a premultiplied pixel (0xAARRGGBB) of a layered window's frame `width` pixels wide is the
// unpremultiplied colour `expected`, each channel and the alpha within `tolerance`.
bool PremultipliedPixelIs(const std::vector<uint32_t>& frame, int width, int x, int y, Argb expected,
                          int tolerance = 4);

// A test failure for every probe whose pixel is not the expected colour.
void ExpectColours(const PixelImage& image, std::initializer_list<ColourProbe> probes);
// How many pixels inside `area` are within `tolerance` of `colour`.
int CountNear(const PixelImage& image, const RECT& area, Argb colour, int tolerance = 3);
