// The VideoCore firmware's side of a property request, as far as the
// emulator plays it: walks the tag list, answers the two GPIO tags from a
// state kept per line and leaves every other tag unanswered.
//
// The firmware's numbers are written out here on purpose rather than taken
// from the product's headers: a wrong number there must show up as a refusal
// here, not agree with itself.
#ifndef VCIOEMU_FIRMWARE_H
#define VCIOEMU_FIRMWARE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>

namespace vcioemu {

constexpr uint32_t status_request = 0;
constexpr uint32_t status_success = 0x80000000;
constexpr uint32_t status_error = 0x80000001;

constexpr uint32_t tag_end = 0;
constexpr uint32_t tag_get_gpio_state = 0x00030041;
constexpr uint32_t tag_set_gpio_state = 0x00038041;

// What happened to one tag, kept only while tracing.
struct TagEvent {
    uint32_t tag;
    uint32_t value_size;
    uint32_t line;  // value word 0 as sent
    uint32_t state; // SET: the state asked for (0 or 1); GET: the state answered
    bool answered;
};

// The tags of one request, for the trace. A request rarely has more than one;
// beyond the capacity only the number is kept.
struct TagTrace {
    static constexpr size_t capacity = 8;
    std::array<TagEvent, capacity> events{};
    size_t count = 0;
    size_t dropped = 0;
    bool overrun = false; // a tag's value ran past the end of the buffer

    void add(const TagEvent &event);
};

class Firmware {
public:
    // Answers the tag list of a property buffer of count words in place and
    // returns the overall status: success, or the error status when a tag
    // runs past the end (tags before it are answered, as a partial response).
    uint32_t answer(uint32_t *words, size_t count, TagTrace *trace);
    // Walks the tag list for the trace only, answering nothing.
    static void describe(const uint32_t *words, size_t count, TagTrace *trace);

    uint32_t line_state(uint32_t line) const;
    void set_line_state(uint32_t line, uint32_t state);
    void forget_lines() { high_lines.clear(); }

private:
    TagEvent answer_tag(uint32_t *tag_words);

    // Lines driven to 1; every other line reads 0.
    std::set<uint32_t> high_lines;
};

} // namespace vcioemu

#endif // VCIOEMU_FIRMWARE_H
