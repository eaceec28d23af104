#pragma once

// Bounded reading and writing of wire bytes.
//
// ByteReader is a value-type view over bytes that came from outside. Every read checks the
// bytes left; the first short read sets a sticky error, after which every read returns 0 (or an
// empty view) and consumes nothing. A parser reads all its fields and checks ok() once.
//
// ByteWriter writes into a bounded buffer (the caller's, or one it owns). A write that does not
// fit sets a sticky error and writes nothing, so it never writes past the capacity. Length fields
// whose value depends on the body are reserved first and patched once the body is written.
//
// All fields are little-endian except where a *_be() method says otherwise (the socket address
// of the I/O Forward Open is the one big-endian field of the protocols).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/eip_utils.h"

// A read-only, bounded view of bytes. It does not own them.
struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;

    const uint8_t* begin() const { return data; }
    const uint8_t* end() const { return data + size; }
    bool empty() const { return size == 0; }
    // Byte at index, or 0 when the index is out of range.
    uint8_t at(size_t index) const { return index < size ? data[index] : 0; }
    std::vector<uint8_t> to_vector() const { return std::vector<uint8_t>(begin(), end()); }
    std::string to_string() const { return std::string(begin(), end()); }
};

class ByteReader {
  public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    explicit ByteReader(ByteView view) : ByteReader(view.data, view.size) {}
    explicit ByteReader(const std::vector<uint8_t>& bytes)
        : ByteReader(bytes.data(), bytes.size()) {}

    uint8_t u8() {
        const uint8_t* p = take(1);
        return p ? p[0] : 0;
    }
    uint16_t u16() {
        const uint8_t* p = take(2);
        return p ? GetLittleEndian16(p) : 0;
    }
    uint32_t u32() {
        const uint8_t* p = take(4);
        return p ? GetLittleEndian32(p) : 0;
    }
    int8_t i8() { return static_cast<int8_t>(u8()); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    float f32() {
        const uint8_t* p = take(4);
        return p ? GetLittleEndianFloat(p) : 0.0f;
    }
    uint64_t u64() {
        const uint32_t low = u32();
        return low | (static_cast<uint64_t>(u32()) << 32);
    }
    double f64() {
        const uint64_t bits = u64();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    uint16_t u16_be() {
        const uint8_t* p = take(2);
        return p ? static_cast<uint16_t>((p[0] << 8) | p[1]) : 0;
    }
    uint32_t u32_be() {
        const uint8_t* p = take(4);
        return p ? (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                       (static_cast<uint32_t>(p[2]) << 8) | p[3]
                 : 0;
    }

    // The next n bytes as a view; empty (and the reader failed) when fewer are left.
    ByteView bytes(size_t n) {
        const uint8_t* p = take(n);
        return ok() ? ByteView{p, n} : ByteView{};
    }
    // The next n bytes as a string (for counted character fields).
    std::string str(size_t n) { return bytes(n).to_string(); }
    // Everything left, consumed.
    ByteView rest() { return bytes(remaining()); }
    // Skips n bytes; false (and the reader failed) when fewer are left.
    bool skip(size_t n) {
        take(n);
        return ok();
    }
    // A reader over the next n bytes, which this reader skips. When fewer are left, both this
    // reader and the returned one are failed.
    ByteReader sub(size_t n) {
        const uint8_t* p = take(n);
        if (!ok()) {
            ByteReader failed;
            failed.failed_ = true;
            return failed;
        }
        return ByteReader(p, n);
    }
    // The next byte without consuming it; 0 at the end (the reader is not failed by a peek).
    uint8_t peek_u8() const { return ok() && remaining() >= 1 ? data_[pos_] : 0; }

    // Marks the parse as failed, for checks beyond length (a count larger than the bytes left,
    // a value out of range).
    void fail() { failed_ = true; }
    // Fails the reader unless at least n bytes are left; for checking a count before looping.
    bool need(size_t n) {
        if (!ok() || remaining() < n) {
            failed_ = true;
        }
        return ok();
    }

    size_t remaining() const { return failed_ ? 0 : size_ - pos_; }
    size_t position() const { return pos_; }
    size_t size() const { return size_; }
    bool at_end() const { return remaining() == 0; }
    bool ok() const { return !failed_; }

  private:
    // The next n bytes, consumed; when fewer are left the reader fails and the result is null.
    const uint8_t* take(size_t n) {
        if (failed_ || n > size_ - pos_) {
            failed_ = true;
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool failed_ = false;
};

class ByteWriter {
  public:
    // A reserved field: its position and width (1, 2 or 4 bytes). A slot reserved after an
    // overflow is invalid and patching it does nothing.
    struct Slot {
        size_t pos = 0;
        uint8_t width = 0;
        bool valid() const { return width != 0; }
        size_t end() const { return pos + width; }
    };

    // Writes into the caller's buffer of the given capacity; never past it.
    ByteWriter(uint8_t* buffer, size_t capacity) : ext_(buffer), cap_(buffer ? capacity : 0) {}
    // Writes into a buffer of its own, growing up to max_size bytes.
    explicit ByteWriter(size_t max_size = std::numeric_limits<size_t>::max()) : cap_(max_size) {}

    ByteWriter(const ByteWriter&) = delete;
    ByteWriter& operator=(const ByteWriter&) = delete;
    ByteWriter(ByteWriter&&) = default;
    ByteWriter& operator=(ByteWriter&&) = default;

    ByteWriter& u8(uint8_t v) {
        if (uint8_t* p = grab(1)) {
            p[0] = v;
        }
        return *this;
    }
    ByteWriter& u16(uint16_t v) {
        if (uint8_t* p = grab(2)) {
            PutLittleEndian16(v, p);
        }
        return *this;
    }
    ByteWriter& u32(uint32_t v) {
        if (uint8_t* p = grab(4)) {
            PutLittleEndian32(v, p);
        }
        return *this;
    }
    ByteWriter& i8(int8_t v) { return u8(static_cast<uint8_t>(v)); }
    ByteWriter& i16(int16_t v) { return u16(static_cast<uint16_t>(v)); }
    ByteWriter& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    ByteWriter& f32(float v) {
        if (uint8_t* p = grab(4)) {
            PutLittleEndianFloat(v, p);
        }
        return *this;
    }
    ByteWriter& u64(uint64_t v) {
        if (uint8_t* p = grab(8)) {
            PutLittleEndian32(static_cast<uint32_t>(v), p);
            PutLittleEndian32(static_cast<uint32_t>(v >> 32), p + 4);
        }
        return *this;
    }
    ByteWriter& f64(double v) {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        return u64(bits);
    }
    ByteWriter& u16_be(uint16_t v) {
        if (uint8_t* p = grab(2)) {
            PutBigEndian16(v, p);
        }
        return *this;
    }
    ByteWriter& u32_be(uint32_t v) {
        if (uint8_t* p = grab(4)) {
            PutBigEndian16(static_cast<uint16_t>(v >> 16), p);
            PutBigEndian16(static_cast<uint16_t>(v & 0xFFFF), p + 2);
        }
        return *this;
    }
    ByteWriter& bytes(const void* src, size_t n) {
        if (uint8_t* p = grab(n)) {
            ByteMove(p, src, static_cast<uint32_t>(n));
        }
        return *this;
    }
    ByteWriter& bytes(ByteView v) { return bytes(v.data, v.size); }
    ByteWriter& bytes(const std::vector<uint8_t>& v) { return bytes(v.data(), v.size()); }
    ByteWriter& bytes(const std::string& s) { return bytes(s.data(), s.size()); }
    ByteWriter& zeros(size_t n) {
        if (uint8_t* p = grab(n)) {
            std::fill(p, p + n, uint8_t{0});
        }
        return *this;
    }

    Slot reserve_u8() { return reserve(1); }
    Slot reserve_u16() { return reserve(2); }
    Slot reserve_u32() { return reserve(4); }

    // Fills a reserved slot. A value that does not fit the slot's width fails the writer.
    void patch_u8(Slot slot, uint8_t v) { patch(slot, v); }
    void patch_u16(Slot slot, uint16_t v) { patch(slot, v); }
    void patch_u32(Slot slot, uint32_t v) { patch(slot, v); }
    void patch(Slot slot, uint64_t value) {
        if (!ok() || !slot.valid() || slot.end() > pos_) {
            return;
        }
        const uint64_t limit = slot.width >= 8 ? ~0ull : (1ull << (8 * slot.width)) - 1;
        if (value > limit) {
            failed_ = true;
            return;
        }
        uint8_t* p = base() + slot.pos;
        for (uint8_t i = 0; i < slot.width; ++i) {
            p[i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    // Writes the number of bytes written after the slot into the slot.
    void patch_length_from(Slot slot) { patch(slot, pos_ - slot.end()); }
    // Writes the number of bytes written since the position start into the slot (for length
    // fields that count from a point other than the end of the field itself).
    void patch_length_from(Slot slot, size_t start) {
        if (start > pos_) {
            failed_ = true;
            return;
        }
        patch(slot, pos_ - start);
    }

    size_t position() const { return pos_; }
    size_t size() const { return pos_; }
    size_t capacity() const { return cap_; }
    size_t remaining() const { return failed_ ? 0 : cap_ - pos_; }
    bool ok() const { return !failed_; }

    // What was written so far.
    const uint8_t* data() const { return ext_ ? ext_ : own_.data(); }
    ByteView view() const { return ByteView{data(), pos_}; }
    std::vector<uint8_t> to_vector() const { return view().to_vector(); }

  private:
    uint8_t* base() { return ext_ ? ext_ : own_.data(); }

    uint8_t* grab(size_t n) {
        if (failed_ || n > cap_ - pos_) {
            failed_ = true;
            return nullptr;
        }
        if (!ext_ && own_.size() < pos_ + n) {
            own_.resize(pos_ + n);
        }
        uint8_t* p = base() + pos_;
        pos_ += n;
        return p;
    }

    Slot reserve(uint8_t width) {
        const size_t at = pos_;
        if (!zeros(width).ok()) {
            return Slot{};
        }
        return Slot{at, width};
    }

    uint8_t* ext_ = nullptr;
    std::vector<uint8_t> own_;
    size_t cap_ = 0;
    size_t pos_ = 0;
    bool failed_ = false;
};
