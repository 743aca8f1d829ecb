#include "devicetext.h"

#include <cstring>

namespace {

void appendEscape(QByteArray &out, unsigned char byte)
{
    switch (byte) {
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    }
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

// The length of the well-formed UTF-8 sequence at text that encodes a printable
// character, or 0. Overlong forms, surrogates and the C1 controls (U+0080 to U+009F,
// which terminals obey like ESC sequences) do not count.
int printableSequenceLength(const unsigned char *text, int available)
{
    const unsigned char lead = text[0];
    int length = 0;
    char32_t codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (length > available)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        codePoint = codePoint << 6 | (text[i] & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = codePoint >= smallest[length] && codePoint <= 0x10FFFF &&
                       !(codePoint >= 0xD800 && codePoint <= 0xDFFF) && codePoint > 0x9F;
    return valid ? length : 0;
}

} // namespace

QByteArray visibleText(const char *text, int length, LineEnds lineEnds)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    QByteArray out;
    out.reserve(length);
    for (int i = 0; i < length;) {
        const unsigned char byte = bytes[i];
        const bool lineEnd =
            lineEnds == LineEnds::Kept &&
            (byte == '\n' || (byte == '\r' && i + 1 < length && bytes[i + 1] == '\n'));
        if (lineEnd || (byte >= 0x20 && byte < 0x7F)) {
            out += char(byte);
            ++i;
            continue;
        }
        const int sequence = byte >= 0x80 ? printableSequenceLength(bytes + i, length - i) : 0;
        if (sequence > 0) {
            out.append(text + i, sequence);
            i += sequence;
            continue;
        }
        appendEscape(out, byte);
        ++i;
    }
    return out;
}

QByteArray visibleText(const char *text, LineEnds lineEnds)
{
    return visibleText(text, int(std::strlen(text)), lineEnds);
}
