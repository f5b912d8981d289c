// The shared part of interrupt.h (see interrupt_state.h). Handlers run as
// POSIX signal handlers, on Windows' console-event threads and on the input
// thread, possibly two at once: the record is a set of lock-free atomics,
// written times first and count last, so that a reader that sees a count also
// sees that interrupt's times. A notice lives in one of two slots per hold
// level; a change writes the other slot and then switches, so a handler never
// copies a notice that is being written.
#include "platform/interrupt_state.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "signal handlers need lock-free 64-bit atomics");
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

constexpr int NOTICE_SLOTS = INTERRUPT_HOLD_DEPTH_MAX * 2;

struct InterruptState {
    std::atomic<std::uint32_t> count{0};
    std::atomic<int> kind{INTERRUPT_NONE};
    std::atomic<std::uint64_t> last_ms{0};
    std::atomic<std::uint64_t> previous_ms{0};
    std::atomic<std::uint64_t> deadline_ms{INTERRUPT_NO_DEADLINE};
    std::atomic<int> depth{0};
    // The count when the innermost hold began: the next interrupt is its first.
    std::atomic<std::uint32_t> hold_first_count{0};
    std::atomic<int> notice_slot{0};
    std::atomic<char> notices[NOTICE_SLOTS][INTERRUPT_NOTICE_MAX_BYTES];
    int level_slot[INTERRUPT_HOLD_DEPTH_MAX];  // each level's current slot (main thread only)
};

InterruptState state;
std::mutex relay_lock;

// Writes notice into a free slot of the given level and makes it current.
void notice_store(int level, const char* notice)
{
    const int current = state.notice_slot.load(std::memory_order_relaxed);
    int slot = level * 2;
    if (slot == current) {
        slot += 1;
    }
    std::size_t i = 0;
    if (notice != nullptr) {
        for (; i + 1 < INTERRUPT_NOTICE_MAX_BYTES && notice[i] != '\0'; ++i) {
            state.notices[slot][i].store(notice[i], std::memory_order_relaxed);
        }
    }
    state.notices[slot][i].store('\0', std::memory_order_relaxed);
    state.level_slot[level] = slot;
    state.notice_slot.store(slot, std::memory_order_release);
}

}  // namespace

int interrupt_state_note(InterruptKind kind, std::uint64_t now_ms)
{
    const std::uint64_t before_ms = state.last_ms.exchange(now_ms, std::memory_order_relaxed);
    state.previous_ms.store(before_ms, std::memory_order_relaxed);
    state.kind.store(kind, std::memory_order_relaxed);
    const std::uint32_t before = state.count.fetch_add(1, std::memory_order_release);
    if (state.depth.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    const int first_of_hold = before == state.hold_first_count.load(std::memory_order_relaxed);
    const int after_a_pause = now_ms - before_ms > INTERRUPT_INSIST_WINDOW_MS;
    return first_of_hold || after_a_pause ? 1 : 0;
}

std::size_t interrupt_state_notice_copy(char* text, std::size_t capacity)
{
    if (text == nullptr || capacity == 0) {
        return 0;
    }
    const int slot = state.notice_slot.load(std::memory_order_acquire);
    std::size_t i = 0;
    for (; i + 1 < capacity && i + 1 < INTERRUPT_NOTICE_MAX_BYTES; ++i) {
        const char c = state.notices[slot][i].load(std::memory_order_relaxed);
        if (c == '\0') {
            break;
        }
        text[i] = c;
    }
    text[i] = '\0';
    return i;
}

int interrupt_state_depth()
{
    return state.depth.load(std::memory_order_acquire);
}

int interrupt_state_push(const char* notice)
{
    const int depth = state.depth.load(std::memory_order_relaxed);
    if (depth >= INTERRUPT_HOLD_DEPTH_MAX) {
        return 0;
    }
    notice_store(depth, notice);
    state.hold_first_count.store(state.count.load(std::memory_order_acquire), std::memory_order_relaxed);
    state.depth.store(depth + 1, std::memory_order_release);
    return 1;
}

int interrupt_state_pop()
{
    const int depth = state.depth.load(std::memory_order_relaxed);
    if (depth == 0) {
        return 0;
    }
    state.depth.store(depth - 1, std::memory_order_release);
    if (depth >= 2) {
        state.notice_slot.store(state.level_slot[depth - 2], std::memory_order_release);
    }
    return 1;
}

int interrupt_state_notice(const char* notice)
{
    const int depth = state.depth.load(std::memory_order_relaxed);
    if (depth == 0) {
        return 0;
    }
    notice_store(depth - 1, notice);
    return 1;
}

void interrupt_state_set_deadline(std::uint64_t deadline_ms)
{
    state.deadline_ms.store(deadline_ms, std::memory_order_relaxed);
}

int interrupt_state_relay(std::uint64_t now_ms, void (*end_now)())
{
    const std::lock_guard<std::mutex> guard(relay_lock);
    if (state.depth.load(std::memory_order_acquire) == 0) {
        end_now();
    }
    return interrupt_state_note(INTERRUPT_RELAYED, now_ms);
}

void interrupt_state_lock()
{
    relay_lock.lock();
}

void interrupt_state_unlock()
{
    relay_lock.unlock();
}

int interrupt_input_feed(InterruptInputLines* lines, const char* bytes, std::size_t count)
{
    int found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c == '\n') {
            // A Windows parent's text-mode pipe ends lines with CR LF.
            if (lines->length > 0 && lines->line[lines->length - 1] == '\r') {
                lines->length -= 1;
            }
            if (!lines->overlong && lines->length == sizeof INTERRUPT_INPUT_LINE - 1 &&
                std::memcmp(lines->line, INTERRUPT_INPUT_LINE, lines->length) == 0) {
                found += 1;
            }
            lines->length = 0;
            lines->overlong = 0;
        } else if (lines->length < sizeof lines->line) {
            lines->line[lines->length++] = c;
        } else {
            lines->overlong = 1;
        }
    }
    return found;
}

void interrupt_state_reset()
{
    state.count.store(0);
    state.kind.store(INTERRUPT_NONE);
    state.last_ms.store(0);
    state.previous_ms.store(0);
    state.deadline_ms.store(INTERRUPT_NO_DEADLINE);
    state.depth.store(0);
    state.hold_first_count.store(0);
    state.notice_slot.store(0);
    state.notices[0][0].store('\0');
}

// ---------------------------------------------------------------------------
// The calls of interrupt.h that are the same everywhere

int interrupt_holding()
{
    return state.depth.load(std::memory_order_acquire) > 0 ? 1 : 0;
}

InterruptRecord interrupt_record()
{
    InterruptRecord record{};
    record.count = state.count.load(std::memory_order_acquire);
    if (record.count == 0) {
        return record;
    }
    record.kind = static_cast<InterruptKind>(state.kind.load(std::memory_order_relaxed));
    record.last_ms = state.last_ms.load(std::memory_order_relaxed);
    record.previous_ms = record.count >= 2 ? state.previous_ms.load(std::memory_order_relaxed) : 0;
    return record;
}

int interrupt_noted()
{
    return state.count.load(std::memory_order_acquire) > 0 ? 1 : 0;
}

int interrupt_insisted()
{
    const InterruptRecord record = interrupt_record();
    return record.count >= 2 && record.last_ms - record.previous_ms <= INTERRUPT_INSIST_WINDOW_MS ? 1 : 0;
}

std::uint64_t interrupt_deadline_ms()
{
    return state.deadline_ms.load(std::memory_order_relaxed);
}

void interrupt_clear()
{
    state.count.store(0, std::memory_order_release);
    state.kind.store(INTERRUPT_NONE, std::memory_order_relaxed);
    state.last_ms.store(0, std::memory_order_relaxed);
    state.previous_ms.store(0, std::memory_order_relaxed);
    state.hold_first_count.store(0, std::memory_order_relaxed);
}
