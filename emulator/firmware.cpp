#include "firmware.h"

namespace vcioemu {

namespace {

// Every tag starts with three words: its id, the size of its value buffer in
// bytes and the request/response code.
constexpr size_t tag_header_words = 3;
// The tag list follows the buffer's total size and its overall status.
constexpr size_t first_tag_word = 2;
// Bit 31 of a tag's code word marks it as answered; the low bits then give
// the length of the answer.
constexpr uint32_t response_bit = 0x80000000;
// The line word of a refused GPIO request.
constexpr uint32_t gpio_refused = 1;

bool is_gpio_tag(uint32_t tag)
{
    return tag == tag_get_gpio_state || tag == tag_set_gpio_state;
}

// A value buffer occupies whole words: the next tag starts on a word boundary.
size_t value_words(uint32_t value_size)
{
    return (static_cast<size_t>(value_size) + 3) / 4;
}

// Visits each tag of the list in turn. The list ends at the end tag; a tag
// whose header or value would run past the buffer makes the request malformed.
template <typename Word, typename Visit>
bool walk_tags(Word *words, size_t count, TagTrace *trace, Visit visit)
{
    size_t pos = first_tag_word;
    while (pos < count) {
        if (words[pos] == tag_end)
            return true;
        const size_t left = count - pos;
        if (left < tag_header_words || value_words(words[pos + 1]) > left - tag_header_words)
            break;
        const TagEvent event = visit(words + pos);
        if (trace != nullptr)
            trace->add(event);
        pos += tag_header_words + value_words(words[pos + 1]);
    }
    if (trace != nullptr)
        trace->overrun = true;
    return false;
}

// A tag as sent: for the GPIO tags, the line and the state asked for.
TagEvent describe_tag(const uint32_t *tag_words)
{
    TagEvent event{tag_words[0], tag_words[1], 0, 0, 0, false, false};
    if (is_gpio_tag(event.tag) && event.value_size >= gpio_value_bytes) {
        const uint32_t *value = tag_words + tag_header_words;
        event.line = value[0];
        event.state = value[1] != 0 ? 1 : 0;
    }
    return event;
}

} // namespace

void TagTrace::add(const TagEvent &event)
{
    if (count < capacity)
        events[count++] = event;
    else
        ++dropped;
}

uint32_t Firmware::answer(uint32_t *words, size_t count, const FirmwareFaults &faults,
                          TagTrace *trace)
{
    const bool closed = walk_tags(
        words, count, trace, [this, &faults](uint32_t *tag) { return answer_tag(tag, faults); });
    return closed ? status_success : status_error;
}

void Firmware::describe(const uint32_t *words, size_t count, TagTrace *trace)
{
    walk_tags(words, count, trace, describe_tag);
}

uint32_t Firmware::line_state(uint32_t line) const
{
    return high_lines.count(line) != 0 ? 1 : 0;
}

void Firmware::set_line_state(uint32_t line, uint32_t state)
{
    if (state != 0)
        high_lines.insert(line);
    else
        high_lines.erase(line);
}

TagEvent Firmware::answer_tag(uint32_t *tag_words, const FirmwareFaults &faults)
{
    // A tag the firmware does not know, or is told to ignore, keeps its code
    // word as sent, without the response bit.
    if (faults.unanswered_tag != 0 && tag_words[0] == faults.unanswered_tag) {
        TagEvent event = describe_tag(tag_words);
        event.ignored = true;
        return event;
    }
    if (is_gpio_tag(tag_words[0]))
        return answer_gpio(tag_words, faults);
    if (tag_words[0] == tag_get_board_revision)
        return answer_board_revision(tag_words);
    return describe_tag(tag_words);
}

TagEvent Firmware::answer_gpio(uint32_t *tag_words, const FirmwareFaults &faults)
{
    TagEvent event = describe_tag(tag_words);
    // Too small a value buffer: the firmware answers with the length it needs
    // and carries nothing out.
    tag_words[2] = response_bit | gpio_value_bytes;
    if (event.value_size < gpio_value_bytes)
        return event;

    uint32_t *value = tag_words + tag_header_words;
    event.answered = true;
    if (faults.refuse_line && event.line == faults.refused_line) {
        event.refusal = gpio_refused;
        value[0] = gpio_refused;
        return event;
    }
    if (event.tag == tag_set_gpio_state)
        set_line_state(event.line, event.state);
    else
        event.state = line_state(event.line);
    value[0] = 0;
    value[1] = line_state(event.line);
    return event;
}

TagEvent Firmware::answer_board_revision(uint32_t *tag_words)
{
    TagEvent event = describe_tag(tag_words);
    tag_words[2] = response_bit | revision_value_bytes;
    if (event.value_size < revision_value_bytes)
        return event;
    tag_words[tag_header_words] = revision;
    event.state = revision;
    event.answered = true;
    return event;
}

} // namespace vcioemu
