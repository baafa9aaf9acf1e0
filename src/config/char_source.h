// Characters of the settings file, read in text mode the same way on every
// platform: a byte 1A (Ctrl-Z) ends the input where it stands. A carriage
// return needs no translation, as the reader counts it as white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace config {

class CharSource {
public:
    static constexpr int kEnd = -1;

    // The current character, or kEnd at the end of the input.
    int peek() {
        if (cursor_ == limit_ && !fill()) return kEnd;
        const unsigned char c = *cursor_;
        if (c == 0x1A) {
            ended_ = true;
            return kEnd;
        }
        return c;
    }

    void advance() {
        if (peek() != kEnd) ++cursor_;
    }

protected:
    // Never deleted through this base: sources live on the stack.
    ~CharSource() = default;

    // Supplies the next chunk of raw bytes; an empty chunk ends the input.
    virtual std::size_t refill(const unsigned char*& data) = 0;

private:
    bool fill() {
        if (ended_) return false;
        const unsigned char* data = nullptr;
        const std::size_t count = refill(data);
        if (count == 0 || data == nullptr) {
            ended_ = true;
            return false;
        }
        cursor_ = data;
        limit_ = data + count;
        return true;
    }

    const unsigned char* cursor_ = nullptr;
    const unsigned char* limit_ = nullptr;
    bool ended_ = false;
};

// Bytes already in memory (tests and the fuzzer).
class MemorySource final : public CharSource {
public:
    MemorySource(const void* data, std::size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}

protected:
    std::size_t refill(const unsigned char*& data) override {
        data = data_;
        const std::size_t count = size_;
        size_ = 0;
        return count;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
};

// An open file, read in fixed chunks so that any file size costs the same memory.
class FileSource final : public CharSource {
public:
    explicit FileSource(std::FILE* file) : file_(file) {}

protected:
    std::size_t refill(const unsigned char*& data) override {
        data = buffer_;
        return file_ != nullptr ? std::fread(buffer_, 1, sizeof buffer_, file_) : 0;
    }

private:
    std::FILE* file_;
    unsigned char buffer_[4096];
};

}  // namespace config
