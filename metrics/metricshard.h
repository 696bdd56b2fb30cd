#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

// Hot-path figures are kept in a few slots, each on a cache line of its own; a thread always
// counts into the same slot, so threads of the doors rarely write to the same line. Reading
// sums the slots.
namespace MetricShard {

inline constexpr std::size_t Count = 8;
inline constexpr std::size_t CacheLine = 64;

// The calling thread's slot. Thread ids are addresses spaced by whole stacks, so their low bits
// are alike: a multiplicative hash spreads them over the slots by their high bits.
inline std::size_t index()
{
    thread_local const std::size_t slot = [] {
        const std::uint64_t id = std::hash<std::thread::id>{}(std::this_thread::get_id());
        return std::size_t((id * 0x9E3779B97F4A7C15ull) >> 61); // 3 bits: Count slots
    }();
    return slot;
}

static_assert(Count == 8, "index() takes 3 bits");

} // namespace MetricShard
