// Bounds-checked little-endian reading of metafile bytes. Every access names an offset and a
// length that are checked against the view before any byte is touched; sizes are computed in
// 64 bits with explicit overflow checks, so a count times an element size never wraps.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>

namespace metafile {

// A malformed record or structure. The message says what is wrong; the loader adds the file
// name, the player skips the record.
class EMalformed : public std::exception {
public:
    explicit EMalformed(const char* what) : FWhat(what) {}
    const char* what() const noexcept override { return FWhat; }

private:
    const char* FWhat;
};

[[noreturn]] inline void Malformed(const char* what) {
    throw EMalformed(what);
}

// a * b when it stays at or below limit; false when it does not (or would overflow).
inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t limit, uint64_t& out) {
    if (a != 0 && b > limit / a)
        return false;
    out = a * b;
    return out <= limit;
}

class TReader {
public:
    TReader() = default;
    TReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    size_t Size() const { return FSize; }
    const uint8_t* Data() const { return FData; }

    // True when [offset, offset + length) lies inside the view.
    bool Has(uint64_t offset, uint64_t length) const {
        return offset <= FSize && length <= FSize - offset;
    }
    // True when count elements of elementSize bytes starting at offset lie inside the view.
    bool HasArray(uint64_t offset, uint64_t count, uint64_t elementSize) const {
        uint64_t bytes = 0;
        return CheckedMul(count, elementSize, FSize, bytes) && Has(offset, bytes);
    }
    void Need(uint64_t offset, uint64_t length) const {
        if (!Has(offset, length))
            Malformed("a field runs past the end of its record");
    }
    void NeedArray(uint64_t offset, uint64_t count, uint64_t elementSize) const {
        if (!HasArray(offset, count, elementSize))
            Malformed("a count does not fit in its record");
    }

    uint8_t U8(uint64_t offset) const {
        Need(offset, 1);
        return FData[offset];
    }
    uint16_t U16(uint64_t offset) const {
        Need(offset, 2);
        return uint16_t(FData[offset] | (FData[offset + 1] << 8));
    }
    int16_t I16(uint64_t offset) const { return int16_t(U16(offset)); }
    uint32_t U32(uint64_t offset) const {
        Need(offset, 4);
        return uint32_t(FData[offset]) | (uint32_t(FData[offset + 1]) << 8) |
               (uint32_t(FData[offset + 2]) << 16) | (uint32_t(FData[offset + 3]) << 24);
    }
    int32_t I32(uint64_t offset) const { return int32_t(U32(offset)); }
    float F32(uint64_t offset) const {
        const uint32_t bits = U32(offset);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    const uint8_t* Bytes(uint64_t offset, uint64_t length) const {
        Need(offset, length);
        return FData + offset;
    }
    // A view of [offset, offset + length).
    TReader Sub(uint64_t offset, uint64_t length) const {
        Need(offset, length);
        return TReader(FData + offset, size_t(length));
    }
    // The view from offset to its end (empty when offset is at or past the end).
    TReader From(uint64_t offset) const {
        if (offset >= FSize)
            return TReader(FData + FSize, 0);
        return TReader(FData + offset, size_t(FSize - offset));
    }

private:
    const uint8_t* FData = nullptr;
    size_t FSize = 0;
};

} // namespace metafile
