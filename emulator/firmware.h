// The VideoCore firmware's side of a property request, as far as the
// emulator plays it: walks the tag list, answers the two GPIO tags from a
// state kept per line and the board revision tag with the board chosen for
// the process, and leaves every other tag unanswered.
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
constexpr uint32_t tag_get_board_revision = 0x00010002;
constexpr uint32_t tag_get_gpio_state = 0x00030041;
constexpr uint32_t tag_set_gpio_state = 0x00038041;

// Both GPIO tags carry and answer two words: the line (answered as a status,
// 0 for success) and its state. The board revision is one word.
constexpr uint32_t gpio_value_bytes = 8;
constexpr uint32_t revision_value_bytes = 4;

// A Raspberry Pi 3 Model B, whose line 134 is the camera LED.
constexpr uint32_t default_board_revision = 0xa02082;

// What happened to one tag, kept only while tracing.
struct TagEvent {
    uint32_t tag;
    uint32_t value_size;
    uint32_t line;    // value word 0 as sent
    uint32_t state;   // SET: the state asked for (0 or 1); GET: the state answered;
                      // board revision: the revision answered
    uint32_t refusal; // a GPIO tag's line word when the firmware refused the line
    bool answered;
    bool ignored; // left unanswered on purpose (FirmwareFaults::unanswered_tag)
};

// Ways the firmware can be told to say no, chosen per process or by a test.
struct FirmwareFaults {
    // The firmware refuses this GPIO line: it answers the tag with the
    // refusal in the line word and leaves the line as it was.
    bool refuse_line = false;
    uint32_t refused_line = 0;
    // The firmware leaves this tag unanswered, as it does a tag it does not
    // know (0: none).
    uint32_t unanswered_tag = 0;
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
    uint32_t answer(uint32_t *words, size_t count, const FirmwareFaults &faults, TagTrace *trace);
    // Walks the tag list for the trace only, answering nothing.
    static void describe(const uint32_t *words, size_t count, TagTrace *trace);

    uint32_t line_state(uint32_t line) const;
    void set_line_state(uint32_t line, uint32_t state);
    void forget_lines() { high_lines.clear(); }

    uint32_t board_revision() const { return revision; }
    void set_board_revision(uint32_t value) { revision = value; }

private:
    TagEvent answer_tag(uint32_t *tag_words, const FirmwareFaults &faults);
    TagEvent answer_gpio(uint32_t *tag_words, const FirmwareFaults &faults);
    TagEvent answer_board_revision(uint32_t *tag_words);

    // Lines driven to 1; every other line reads 0.
    std::set<uint32_t> high_lines;
    uint32_t revision = default_board_revision;
};

} // namespace vcioemu

#endif // VCIOEMU_FIRMWARE_H
