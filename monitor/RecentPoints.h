#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>

// A host's latest probes for its sparkline, oldest first, in a ring of fixed size: a probe adds one point and
// drops those past the span without moving the others, so a thousand hosts cost no copying per probe.
class RecentPoints {
public:
    // How far back the points reach, and the most that are kept.
    static constexpr std::int64_t kSpanMs = 10 * 60 * 1000;
    static constexpr std::size_t kCapacity = 600;

    struct Point {
        std::int64_t unixMs = 0;
        std::optional<std::uint32_t> rttUs; // nothing: lost
        bool operator==(const Point&) const = default;
    };

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Point;
        using difference_type = std::ptrdiff_t;
        using pointer = const Point*;
        using reference = const Point&;

        const_iterator() = default;
        const_iterator(const RecentPoints* ring, std::size_t index) : ring_(ring), index_(index) {}
        reference operator*() const { return (*ring_)[index_]; }
        pointer operator->() const { return &(*ring_)[index_]; }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++index_;
            return before;
        }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }

    private:
        const RecentPoints* ring_ = nullptr;
        std::size_t index_ = 0;
    };

    RecentPoints() = default;
    RecentPoints(std::initializer_list<Point> points) {
        for (const Point& point : points)
            push(point);
    }

    // A newer point; those older than the span before it, or past the capacity, go.
    void push(const Point& point) {
        if (size_ == kCapacity)
            dropFront();
        points_[(head_ + size_) % kCapacity] = point;
        ++size_;
        const std::int64_t oldest = point.unixMs - kSpanMs;
        while (size_ > 0 && front().unixMs < oldest)
            dropFront();
    }
    void clear() {
        head_ = 0;
        size_ = 0;
    }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] const Point& operator[](std::size_t i) const { return points_[(head_ + i) % kCapacity]; }
    [[nodiscard]] const Point& front() const { return (*this)[0]; }
    [[nodiscard]] const Point& back() const { return (*this)[size_ - 1]; }
    [[nodiscard]] const_iterator begin() const { return {this, 0}; }
    [[nodiscard]] const_iterator end() const { return {this, size_}; }

private:
    void dropFront() {
        head_ = (head_ + 1) % kCapacity;
        --size_;
    }

    std::array<Point, kCapacity> points_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};
