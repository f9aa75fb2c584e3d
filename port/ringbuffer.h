#pragma once
// A byte FIFO of a fixed capacity: the layer's input queue.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vxport::detail {

class RingBuffer {
public:
    explicit RingBuffer(size_t capacity = 4096) : buffer_(capacity) {}

    size_t Size() const { return size_; }
    size_t Capacity() const { return buffer_.size(); }
    size_t Room() const { return buffer_.size() - size_; }
    void Clear() { head_ = size_ = 0; }

    // Copies at most Room() bytes; returns how many were taken.
    size_t Push(const uint8_t* data, size_t count)
    {
        count = std::min(count, Room());
        if (count == 0)
            return 0; // data may be null: memcpy must not see it
        size_t tail = (head_ + size_) % buffer_.size();
        size_t first = std::min(count, buffer_.size() - tail);
        std::memcpy(buffer_.data() + tail, data, first);
        std::memcpy(buffer_.data(), data + first, count - first);
        size_ += count;
        return count;
    }

    size_t Pop(uint8_t* out, size_t count)
    {
        count = std::min(count, size_);
        if (count == 0)
            return 0; // out may be null (an empty read's buffer)
        size_t first = std::min(count, buffer_.size() - head_);
        std::memcpy(out, buffer_.data() + head_, first);
        std::memcpy(out + first, buffer_.data(), count - first);
        head_ = (head_ + count) % buffer_.size();
        size_ -= count;
        return count;
    }

    // Changes the capacity, keeping the bytes held (never below their count).
    void Resize(size_t capacity)
    {
        capacity = std::max(capacity, size_);
        std::vector<uint8_t> bigger(std::max<size_t>(capacity, 1));
        size_t count = size_;
        Pop(bigger.data(), count);
        buffer_.swap(bigger);
        head_ = 0;
        size_ = count;
    }

private:
    std::vector<uint8_t> buffer_;
    size_t head_ = 0;
    size_t size_ = 0;
};

} // namespace vxport::detail
