#pragma once

// How both doors pace accepting and give memory back, so that they behave alike under a flood.
namespace AcceptPacing {

// Connections accepted in one go before the event loop gets its turn again.
inline constexpr int Batch = 64;
// How long accepting waits, after accept() failed for lack of descriptors or memory, when no
// connection closes in the meantime (resources freed elsewhere give no event).
inline constexpr int RetryMs = 250;
// How soon after connections have closed the memory they freed is given back.
inline constexpr int TrimDelayMs = 1000;

// Each thread allocates from an arena of its own; after a burst of connections the allocator
// keeps their freed memory unless asked to return it.
void trimMemory();

} // namespace AcceptPacing
