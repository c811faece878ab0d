#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "support/CriticalSection.h"

namespace tessel {

/// A multi-producer, multi-consumer FIFO of trivially copyable payloads over a pool of at most
/// 65536 nodes, addressed by 16-bit indices. Used for the processor's parameter changes (8192
/// nodes growing to 65536), the analyzer's blocks and the MIDI messages (fixed size).
/// Two nodes never carry a payload: index 0 stands for "no node" and one node is always the
/// queue's dummy head, so a pool of N nodes holds N - 2 payloads (65534 at the maximum).
/// push and pop are [any thread, lock-free]; push takes the pool's lock and allocates only when
/// the free list is empty and the pool is below its maximum (it then doubles the pool). A queue
/// built with initialNodes == maximumNodes never allocates or locks after construction, so it may
/// be used from the audio thread on either end. A full queue at its maximum refuses the payload.
/// The 16-bit change counters guard against ABA unless one thread stalls inside an operation for
/// 65536 exchanges of the same word.
template <typename T>
class LockFreeIndexQueue {
    static_assert(std::is_trivially_copyable_v<T>, "payloads are copied word by word");

public:
    static constexpr std::uint32_t kMaximumNodes = 65536;
    static constexpr std::uint32_t kReservedNodes = 2;

    /// initialNodes is raised to at least 3 (one payload) and maximumNodes kept within
    /// [initialNodes, 65536]. Allocates the initial pool. [main thread]
    LockFreeIndexQueue(std::uint32_t initialNodes, std::uint32_t maximumNodes)
        : maximumNodes_(
              std::clamp(maximumNodes, std::clamp(initialNodes, 3u, kMaximumNodes), kMaximumNodes)),
          growthLock_(CriticalSection::create()) {
        const std::uint32_t initial = std::clamp(initialNodes, 3u, kMaximumNodes);
        if (!allocateSegmentsUpTo(initial)) {
            freeSegments();
            throw std::bad_alloc();
        }
        // Node 0 is the null index and is never used; node 1 is the first dummy.
        head_.store(1, std::memory_order_relaxed);
        tail_.store(1, std::memory_order_relaxed);
        releaseRange(2, initial);
        nodeCount_.store(initial, std::memory_order_release);
    }

    ~LockFreeIndexQueue() { freeSegments(); }

    LockFreeIndexQueue(const LockFreeIndexQueue&) = delete;
    LockFreeIndexQueue& operator=(const LockFreeIndexQueue&) = delete;

    /// Appends a copy of value. Returns false, leaving the queue unchanged, when the pool is at
    /// its maximum and every payload slot is taken (or growth could not allocate).
    /// [any thread, lock-free unless the pool must grow]
    bool push(const T& value) noexcept {
        std::uint32_t index = takeFreeNode();
        while (index == kNull) {
            if (!grow()) return false;
            index = takeFreeNode();
        }
        Node& fresh = node(index);
        writePayload(fresh, value);
        // The node is ours alone; its link still gets a new counter so that an enqueuer that
        // read this node as the tail long ago cannot match the link it remembers.
        fresh.next.store(tagged(kNull, fresh.next.load(std::memory_order_relaxed)),
                         std::memory_order_relaxed);

        for (;;) {
            const std::uint32_t tail = tail_.load(std::memory_order_acquire);
            Node& last = node(indexOf(tail));
            std::uint32_t next = last.next.load(std::memory_order_acquire);
            if (tail != tail_.load(std::memory_order_acquire)) continue;
            if (indexOf(next) == kNull) {
                // The link CAS is the linearisation point. Its release publishes the payload
                // (and the link reset above) to the consumer that acquires this link. The
                // counter in `next` makes it fail when `last` left the queue and came back
                // with a null link meanwhile (every write to a link bumps its counter).
                if (last.next.compare_exchange_weak(next, tagged(index, next),
                                                    std::memory_order_acq_rel,
                                                    std::memory_order_relaxed)) {
                    // Swing the tail; when this fails another thread already helped.
                    std::uint32_t expected = tail;
                    tail_.compare_exchange_strong(expected, tagged(index, tail),
                                                  std::memory_order_acq_rel,
                                                  std::memory_order_relaxed);
                    return true;
                }
            } else {
                // The tail lags behind a node that is already linked: help it forward.
                std::uint32_t expected = tail;
                tail_.compare_exchange_strong(expected, tagged(indexOf(next), tail),
                                              std::memory_order_acq_rel, std::memory_order_relaxed);
            }
        }
    }

    /// Removes the oldest payload into out; false when the queue is empty. [any thread, lock-free]
    bool pop(T& out) noexcept {
        for (;;) {
            const std::uint32_t head = head_.load(std::memory_order_acquire);
            const std::uint32_t tail = tail_.load(std::memory_order_acquire);
            const std::uint32_t next = node(indexOf(head)).next.load(std::memory_order_acquire);
            // When the head word is unchanged, the dummy was not recycled while we read its link,
            // so `next` is genuine (otherwise it may be a stale or free-list link).
            if (head != head_.load(std::memory_order_acquire)) continue;
            if (indexOf(head) == indexOf(tail)) {
                if (indexOf(next) == kNull) return false;
                // Never let the head pass the tail: advance the lagging tail first.
                std::uint32_t expected = tail;
                tail_.compare_exchange_strong(expected, tagged(indexOf(next), tail),
                                              std::memory_order_acq_rel, std::memory_order_relaxed);
                continue;
            }
            if (indexOf(next) == kNull) continue;
            // Read before the head CAS: once it succeeds, `next` becomes the dummy and another
            // consumer may recycle it as soon as it moves the head on. A successful CAS proves
            // that no consumer moved the head since we read it, so the node still held the
            // payload its producer published; the acq_rel CAS keeps these loads before it.
            Words words;
            readPayload(node(indexOf(next)), words);
            std::uint32_t expected = head;
            if (head_.compare_exchange_weak(expected, tagged(indexOf(next), head),
                                            std::memory_order_acq_rel, std::memory_order_relaxed)) {
                releaseNode(indexOf(head));
                std::memcpy(&out, words.data(), sizeof(T));
                return true;
            }
        }
    }

    /// A snapshot: true when no payload was queued at the moment of the call. [any thread]
    bool empty() const noexcept {
        const std::uint32_t head = head_.load(std::memory_order_acquire);
        return indexOf(node(indexOf(head)).next.load(std::memory_order_acquire)) == kNull;
    }

    /// Payloads the pool holds now (nodes - 2); grows up to maximumCapacity(). [any thread]
    std::uint32_t capacity() const noexcept { return nodeCount() - kReservedNodes; }
    std::uint32_t maximumCapacity() const noexcept { return maximumNodes_ - kReservedNodes; }
    std::uint32_t nodeCount() const noexcept { return nodeCount_.load(std::memory_order_acquire); }
    std::uint32_t maximumNodeCount() const noexcept { return maximumNodes_; }

private:
    static constexpr std::uint32_t kNull = 0;
    static constexpr std::uint32_t kIndexMask = 0xFFFFu;
    static constexpr std::uint32_t kCounterStep = 0x10000u;
    static constexpr std::size_t kWords = (sizeof(T) + 3) / 4;
    using Words = std::array<std::uint32_t, kWords>;

    // Segment 0 holds nodes [0, 64), segment s > 0 holds [64 << (s-1), 64 << s): sizes double, so
    // index -> node is a shift and a bit count, and growing only ever appends segments. Nodes
    // never move while the queue lives.
    static constexpr std::uint32_t kFirstSegmentShift = 6;
    static constexpr std::uint32_t kFirstSegmentNodes = 1u << kFirstSegmentShift;
    static constexpr std::size_t kSegmentCount = 11;  // covers 65536 nodes

    // A link and a payload. The payload is kept in relaxed atomic words: a consumer reads it
    // before it knows whether its CAS will win, possibly while a producer rewrites the recycled
    // node; atomic words make that race defined, and the losing CAS discards what was read.
    struct Node {
        std::atomic<std::uint32_t> next{0};
        std::array<std::atomic<std::uint32_t>, kWords> words{};
    };

    static constexpr std::uint32_t indexOf(std::uint32_t word) noexcept {
        return word & kIndexMask;
    }

    /// A word naming index, with the change counter of previous advanced by one step.
    static constexpr std::uint32_t tagged(std::uint32_t index, std::uint32_t previous) noexcept {
        return ((previous & ~kIndexMask) + kCounterStep) | index;
    }

    static constexpr std::size_t segmentOf(std::uint32_t index) noexcept {
        return static_cast<std::size_t>(std::bit_width(index >> kFirstSegmentShift));
    }
    static constexpr std::uint32_t segmentBase(std::size_t segment) noexcept {
        return segment == 0 ? 0u : kFirstSegmentNodes << (segment - 1);
    }

    Node& node(std::uint32_t index) const noexcept {
        const std::size_t segment = segmentOf(index);
        return segments_[segment].load(std::memory_order_acquire)[index - segmentBase(segment)];
    }

    static void writePayload(Node& n, const T& value) noexcept {
        std::uint32_t buffer[kWords] = {};
        std::memcpy(buffer, &value, sizeof(T));
        for (std::size_t i = 0; i < kWords; ++i)
            n.words[i].store(buffer[i], std::memory_order_relaxed);
    }

    static void readPayload(const Node& n, Words& words) noexcept {
        for (std::size_t i = 0; i < kWords; ++i)
            words[i] = n.words[i].load(std::memory_order_relaxed);
    }

    // Free list: a Treiber stack through the nodes' links, topped by freeTop_. A node's link is
    // written only by the thread that owns the node (taken off the stack or off the queue), and
    // always with a new counter.
    std::uint32_t takeFreeNode() noexcept {
        std::uint32_t top = freeTop_.load(std::memory_order_acquire);
        for (;;) {
            if (indexOf(top) == kNull) return kNull;
            // May read the link of a node that another thread has just taken; then freeTop_ has
            // a new counter and the CAS below fails, discarding the stale link.
            const std::uint32_t next = node(indexOf(top)).next.load(std::memory_order_acquire);
            if (freeTop_.compare_exchange_weak(top, tagged(indexOf(next), top),
                                               std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
                return indexOf(top);
            }
        }
    }

    void releaseNode(std::uint32_t index) noexcept { pushFreeChain(index, index); }

    // Pushes the private chain first..last (already linked through their links) onto the stack.
    void pushFreeChain(std::uint32_t first, std::uint32_t last) noexcept {
        Node& tailNode = node(last);
        std::uint32_t top = freeTop_.load(std::memory_order_acquire);
        for (;;) {
            tailNode.next.store(tagged(indexOf(top), tailNode.next.load(std::memory_order_relaxed)),
                                std::memory_order_release);
            if (freeTop_.compare_exchange_weak(top, tagged(first, top), std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
                return;
            }
        }
    }

    // Links the fresh nodes [begin, end) into a chain and puts it on the free list.
    void releaseRange(std::uint32_t begin, std::uint32_t end) noexcept {
        if (begin >= end) return;
        for (std::uint32_t i = begin; i + 1 < end; ++i) {
            Node& n = node(i);
            n.next.store(tagged(i + 1, n.next.load(std::memory_order_relaxed)),
                         std::memory_order_relaxed);
        }
        pushFreeChain(begin, end - 1);
    }

    // Makes sure every segment touching [0, nodes) exists. Segments are cut at the maximum, so a
    // pool that reaches it holds exactly maximumNodes_ nodes. [under growthLock_ or constructor]
    bool allocateSegmentsUpTo(std::uint32_t nodes) noexcept {
        for (std::size_t s = 0; s < kSegmentCount && segmentBase(s) < nodes; ++s) {
            if (segments_[s].load(std::memory_order_relaxed) != nullptr) continue;
            const std::uint32_t fullSize =
                s == 0 ? kFirstSegmentNodes : segmentBase(s + 1) - segmentBase(s);
            const std::uint32_t size = std::min(fullSize, maximumNodes_ - segmentBase(s));
            Node* storage = new (std::nothrow) Node[size]();
            if (storage == nullptr) return false;
            // Release: a thread that later learns an index of this segment (always through an
            // acquire of a word written after this store) sees the whole segment.
            segments_[s].store(storage, std::memory_order_release);
        }
        return true;
    }

    void freeSegments() noexcept {
        for (auto& segment : segments_)
            delete[] segment.exchange(nullptr, std::memory_order_relaxed);
    }

    // Doubles the pool (at most to the maximum). Returns false when nothing can be added, so the
    // caller drops its payload. Never locks once the pool is at its maximum.
    bool grow() noexcept {
        if (nodeCount_.load(std::memory_order_acquire) >= maximumNodes_) {
            // A node may have been freed meanwhile: let the caller look once more.
            return indexOf(freeTop_.load(std::memory_order_acquire)) != kNull;
        }
        ScopedLock lock(*growthLock_);
        // Another pusher may have grown the pool, or a consumer freed nodes, while we waited.
        if (indexOf(freeTop_.load(std::memory_order_acquire)) != kNull) return true;
        const std::uint32_t count = nodeCount_.load(std::memory_order_relaxed);
        if (count >= maximumNodes_) return false;
        const std::uint32_t grown = std::min(count * 2, maximumNodes_);
        if (!allocateSegmentsUpTo(grown)) return false;
        releaseRange(count, grown);
        // Published after the new nodes are free, so that a pusher that sees the maximum count
        // and an empty free list knows the pool is really exhausted.
        nodeCount_.store(grown, std::memory_order_release);
        return true;
    }

    // Who writes which word. head_: consumers, by CAS only. tail_: producers after linking and
    // any thread helping a lagging tail, by CAS only. A node's link: the producer that links a
    // node after it (CAS from a null link), and otherwise only the thread that owns the node
    // (taken from the free list, or just dequeued as the old dummy), always with a new counter.
    // freeTop_: any thread, by CAS. Every CAS advances the word's counter; acquire loads pair
    // with the release half of the CAS or store that wrote the word.
    const std::uint32_t maximumNodes_;
    std::unique_ptr<CriticalSection> growthLock_;
    std::array<std::atomic<Node*>, kSegmentCount> segments_{};
    std::atomic<std::uint32_t> nodeCount_{0};
    alignas(64) std::atomic<std::uint32_t> head_{0};
    alignas(64) std::atomic<std::uint32_t> tail_{0};
    alignas(64) std::atomic<std::uint32_t> freeTop_{0};
};

}  // namespace tessel
