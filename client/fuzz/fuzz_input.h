// Typed values taken from the front of a fuzzer's input, for the client's fuzz targets. An input that
// runs out gives zeros and empty texts, so every input, however short, is a complete case.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint64_t Bits64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | Byte();
        return v;
    }

    int64_t Int64() { return static_cast<int64_t>(Bits64()); }

    // A value in lo…hi (inclusive), from eight bytes.
    int64_t InRange(int64_t lo, int64_t hi) {
        const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
        const uint64_t bits = Bits64();
        return static_cast<int64_t>(static_cast<uint64_t>(lo) + (span == UINT64_MAX ? bits : bits % (span + 1)));
    }

    // A text of at most `limit` bytes: a length byte, then that many bytes.
    std::string Text(size_t limit) {
        size_t n = Byte();
        if (n > limit) n = limit;
        if (n > size_ - pos_) n = size_ - pos_;
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

    // Whatever is left.
    std::string Rest() {
        std::string s(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A failed check: what was expected is printed, and the run stops with the input that broke it.
inline void Check(bool ok, const char* target, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", target, what);
        std::abort();
    }
}

// Well-formed UTF-8 (shortest forms, no surrogates, nothing beyond U+10FFFF).
inline bool IsUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
        else return false;
        if (i + n >= s.size()) return false;
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

}  // namespace fuzz
