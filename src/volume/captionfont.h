#pragma once
// The bitmap font of the pictures' captions: fixed cells, Latin-1.
#include <cstdint>

constexpr int kCaptionGlyphWidth = 6, kCaptionGlyphHeight = 13;

// The rows of a character's cell (kCaptionGlyphHeight bytes, bit 5 the leftmost pixel);
// a character the font lacks (control characters, beyond Latin-1) is drawn as '?'.
const uint8_t* captionGlyph(unsigned codePoint);
