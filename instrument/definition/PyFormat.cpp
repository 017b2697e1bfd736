#include "instrument/definition/PyFormat.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <exception>

namespace tarvos::definition {

namespace {

size_t CodePoints(std::string_view text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size(); i += Utf8SequenceLength(static_cast<unsigned char>(text[i]))) {
        ++n;
    }
    return n;
}

struct Spec {
    std::string fill = " ";
    bool fillGiven = false;
    char align = 0;
    char sign = 0;
    bool coerceZero = false;
    bool alternate = false;
    long width = -1;
    char grouping = 0;
    long precision = -1;
    char type = 0;
};

bool IsAlign(char c)
{
    return c == '<' || c == '>' || c == '=' || c == '^';
}

bool ReadNumber(std::string_view s, size_t& pos, long& value)
{
    const size_t start = pos;
    long v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        if (v > 100000000) {
            return false;  // "Too many decimal digits in format string"
        }
        v = v * 10 + (s[pos] - '0');
        ++pos;
    }
    if (pos == start) {
        return true;
    }
    value = v;
    return true;
}

// CPython's parse of a standard format field; numeric tells the default
// alignment ('>' for numbers, '<' for text), which decides what '0' does.
bool ParseSpec(std::string_view s, bool numeric, Spec& spec)
{
    size_t pos = 0;
    const size_t first = s.empty() ? 0 : Utf8SequenceLength(static_cast<unsigned char>(s[0]));
    if (s.size() > first && IsAlign(s[first])) {
        spec.fill = std::string(s.substr(0, first));
        spec.fillGiven = true;
        spec.align = s[first];
        pos = first + 1;
    } else if (!s.empty() && IsAlign(s[0])) {
        spec.align = s[0];
        pos = 1;
    }
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-' || s[pos] == ' ')) {
        spec.sign = s[pos++];
    }
    if (pos < s.size() && s[pos] == 'z') {
        spec.coerceZero = true;
        ++pos;
    }
    if (pos < s.size() && s[pos] == '#') {
        spec.alternate = true;
        ++pos;
    }
    if (!spec.fillGiven && pos < s.size() && s[pos] == '0') {
        spec.fill = "0";
        if (spec.align == 0 && numeric) {
            spec.align = '=';
        }
        ++pos;
    }
    if (!ReadNumber(s, pos, spec.width)) {
        return false;
    }
    if (pos < s.size() && (s[pos] == ',' || s[pos] == '_')) {
        spec.grouping = s[pos++];
        if (pos < s.size() && (s[pos] == ',' || s[pos] == '_')) {
            return false;  // both grouping characters
        }
    }
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        const size_t digits = pos;
        if (!ReadNumber(s, pos, spec.precision) || pos == digits) {
            return false;  // a point without digits
        }
    }
    if (s.size() - pos > 1) {
        return false;  // more than one character left
    }
    if (pos < s.size()) {
        spec.type = s[pos];
    }
    if (spec.grouping != 0) {
        const char t = spec.type;
        const bool decimal = t == 0 || t == 'd' || t == 'e' || t == 'E' || t == 'f' || t == 'F' || t == 'g' ||
                             t == 'G' || t == '%';
        const bool underscoreOnly = t == 'b' || t == 'o' || t == 'x' || t == 'X';
        if (!(decimal || (underscoreOnly && spec.grouping == '_'))) {
            return false;  // ',' where the type takes no grouping
        }
    }
    return true;
}

// Separators every 'every' digits into a run of digits; with minimum > 0 the
// run is first padded with zeros (grouped too) to that many characters.
std::string Group(const std::string& digits, char separator, int every, size_t minimum)
{
    std::string out;
    int count = 0;
    for (size_t i = digits.size(); i-- > 0;) {
        if (count == every) {
            out += separator;
            count = 0;
        }
        out += digits[i];
        ++count;
    }
    while (out.size() < minimum) {
        if (count == every) {
            out += separator;
            count = 0;
            if (out.size() >= minimum) {
                // A separator never leads: CPython puts a zero before it.
                out += '0';
                break;
            }
        }
        out += '0';
        ++count;
    }
    return std::string(out.rbegin(), out.rend());
}

// Joins sign and prefix, the body and the padding, as the format aligns them.
std::string Pad(const Spec& spec, const std::string& prefix, const std::string& body, char defaultAlign)
{
    const size_t length = CodePoints(prefix) + CodePoints(body);
    if (spec.width < 0 || static_cast<size_t>(spec.width) <= length) {
        return prefix + body;
    }
    const size_t padding = static_cast<size_t>(spec.width) - length;
    auto fill = [&](size_t n) {
        std::string f;
        for (size_t i = 0; i < n; ++i) {
            f += spec.fill;
        }
        return f;
    };
    switch (spec.align != 0 ? spec.align : defaultAlign) {
    case '<':
        return prefix + body + fill(padding);
    case '^':
        return fill(padding / 2) + prefix + body + fill(padding - padding / 2);
    case '=':
        return prefix + fill(padding) + body;
    default:
        return fill(padding) + prefix + body;
    }
}

std::string SignText(const Spec& spec, bool negative)
{
    if (negative) {
        return "-";
    }
    if (spec.sign == '+') {
        return "+";
    }
    if (spec.sign == ' ') {
        return " ";
    }
    return "";
}

// The digits before the point (or exponent) of a float body are grouped; the
// zero padding goes into the grouping when fill '0' aligns after the sign.
std::string GroupNumberBody(const Spec& spec, const std::string& body, size_t prefixLength, int every)
{
    const bool zeroPad = spec.fill == "0" && spec.align == '=' && spec.width > 0;
    if (spec.grouping == 0 && !zeroPad) {
        return body;
    }
    size_t end = 0;
    while (end < body.size() && ((body[end] >= '0' && body[end] <= '9') ||
                                 (every == 4 && ((body[end] >= 'a' && body[end] <= 'f') ||
                                                 (body[end] >= 'A' && body[end] <= 'F'))))) {
        ++end;
    }
    if (end == 0) {
        return body;  // inf, nan
    }
    const std::string rest = body.substr(end);
    size_t minimum = 0;
    if (zeroPad && static_cast<size_t>(spec.width) > prefixLength + rest.size()) {
        minimum = static_cast<size_t>(spec.width) - prefixLength - rest.size();
    }
    if (spec.grouping == 0) {
        std::string digits = body.substr(0, end);
        if (digits.size() < minimum) {
            digits.insert(0, minimum - digits.size(), '0');
        }
        return digits + rest;
    }
    return Group(body.substr(0, end), spec.grouping, every, minimum) + rest;
}

std::string FixedFromFmt(double v, long precision, char type, bool alternate)
{
    const std::string pattern = std::string("{:") + (alternate ? "#" : "") + "." + std::to_string(precision) + type + "}";
    return fmt::format(fmt::runtime(pattern), v);
}

std::string StripFractionZeros(std::string digits)
{
    if (digits.find('.') == std::string::npos) {
        return digits;
    }
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
    }
    if (!digits.empty() && digits.back() == '.') {
        digits.pop_back();
    }
    return digits;
}

// Python's 'g' for a finite non-negative value: p significant digits, the
// exponent form when the exponent is below -4 or at least p (at least p - 1
// for a format without type, which also keeps one decimal), trailing zeros
// dropped unless alternate.
std::string General(double v, long precision, bool upper, bool alternate, bool addDotZero)
{
    if (precision == 0) {
        precision = 1;
    }
    const std::string sci = FixedFromFmt(v, precision - 1, 'e', false);
    const size_t e = sci.find('e');
    const long exponent = std::stol(sci.substr(e + 1));
    const long limit = addDotZero ? precision - 1 : precision;
    std::string body;
    if (exponent < -4 || exponent >= limit) {
        std::string mantissa = sci.substr(0, e);
        if (alternate) {
            if (mantissa.find('.') == std::string::npos) {
                mantissa += '.';
            }
        } else {
            mantissa = StripFractionZeros(mantissa);
        }
        char tail[32];
        std::snprintf(tail, sizeof(tail), "%c%c%02ld", upper ? 'E' : 'e', exponent < 0 ? '-' : '+',
                      exponent < 0 ? -exponent : exponent);
        body = mantissa + tail;
    } else {
        body = FixedFromFmt(v, precision - 1 - exponent, 'f', alternate);
        if (!alternate) {
            body = StripFractionZeros(body);
        }
        if (addDotZero && body.find('.') == std::string::npos) {
            body += ".0";
        }
    }
    return body;
}

// repr() of a finite non-negative value; the alternate form keeps a point
// in the exponent form too.
std::string Shortest(double v, bool alternate)
{
    std::string body = PyFloatRepr(v);
    const size_t e = body.find('e');
    if (alternate && e != std::string::npos && body.find('.') == std::string::npos) {
        body.insert(e, ".");
    }
    return body;
}

bool FormatFloat(double value, Spec& spec, std::string& out)
{
    char type = spec.type;
    switch (type) {
    case 0:
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'n':
    case '%':
        break;
    default:
        return false;  // "Unknown format code 'd' for object of type 'float'"
    }
    bool negative = std::signbit(value) && !std::isnan(value);
    double magnitude = std::fabs(value);
    std::string body;
    const bool upper = type == 'E' || type == 'F' || type == 'G';
    if (std::isnan(value) || std::isinf(value)) {
        body = std::isnan(value) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
        if (type == '%') {
            body += '%';
        }
    } else {
        switch (type) {
        case 0:
            if (spec.precision < 0) {
                body = Shortest(magnitude, spec.alternate);
            } else {
                body = General(magnitude, spec.precision, false, spec.alternate, true);
            }
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
            body = FixedFromFmt(magnitude, spec.precision < 0 ? 6 : spec.precision, type, spec.alternate);
            break;
        case 'g':
        case 'G':
        case 'n':
            body = General(magnitude, spec.precision < 0 ? 6 : spec.precision, type == 'G', spec.alternate, false);
            break;
        case '%':
            body = FixedFromFmt(magnitude * 100.0, spec.precision < 0 ? 6 : spec.precision, 'f', spec.alternate) + "%";
            break;
        default:
            break;
        }
        if (spec.coerceZero && negative) {
            // Negative zero after rounding shows as zero.
            bool allZero = true;
            for (char c : body) {
                if (c >= '1' && c <= '9') {
                    allZero = false;
                }
            }
            if (allZero) {
                negative = false;
            }
        }
    }
    const std::string prefix = SignText(spec, negative);
    body = GroupNumberBody(spec, body, prefix.size(), 3);
    out = Pad(spec, prefix, body, '>');
    return true;
}

bool FormatInt(int64_t value, Spec& spec, std::string& out)
{
    switch (spec.type) {
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case '%':
        return FormatFloat(static_cast<double>(value), spec, out);
    case 0:
    case 'd':
    case 'n':
    case 'b':
    case 'o':
    case 'x':
    case 'X':
    case 'c':
        break;
    default:
        return false;
    }
    if (spec.precision >= 0 || spec.coerceZero) {
        return false;  // no precision for integer types
    }
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (spec.type == 'c') {
        if (spec.sign != 0 || spec.alternate || value < 0 || value > 0x10FFFF) {
            return false;
        }
        std::string ch;
        const uint32_t cp = static_cast<uint32_t>(value);
        if (cp < 0x80) {
            ch += static_cast<char>(cp);
        } else if (cp < 0x800) {
            ch += static_cast<char>(0xC0 | (cp >> 6));
            ch += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            ch += static_cast<char>(0xE0 | (cp >> 12));
            ch += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            ch += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            ch += static_cast<char>(0xF0 | (cp >> 18));
            ch += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            ch += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            ch += static_cast<char>(0x80 | (cp & 0x3F));
        }
        out = Pad(spec, "", ch, '>');
        return true;
    }
    int base = 10;
    std::string radix;
    switch (spec.type) {
    case 'b':
        base = 2;
        radix = "0b";
        break;
    case 'o':
        base = 8;
        radix = "0o";
        break;
    case 'x':
        base = 16;
        radix = "0x";
        break;
    case 'X':
        base = 16;
        radix = "0X";
        break;
    default:
        break;
    }
    std::string digits;
    uint64_t rest = magnitude;
    do {
        const unsigned d = static_cast<unsigned>(rest % static_cast<uint64_t>(base));
        digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : (spec.type == 'X' ? 'A' : 'a') + d - 10));
        rest /= static_cast<uint64_t>(base);
    } while (rest != 0);
    const std::string prefix = SignText(spec, negative) + (spec.alternate ? radix : "");
    const std::string body = GroupNumberBody(spec, digits, CodePoints(prefix), base == 10 ? 3 : 4);
    out = Pad(spec, prefix, body, '>');
    return true;
}

bool FormatText(const std::string& value, Spec& spec, std::string& out)
{
    if (spec.type != 0 && spec.type != 's') {
        return false;
    }
    if (spec.sign != 0 || spec.alternate || spec.align == '=' || spec.grouping != 0 || spec.coerceZero) {
        return false;
    }
    std::string body = value;
    if (spec.precision >= 0) {
        size_t at = 0;
        for (long n = 0; n < spec.precision && at < body.size(); ++n) {
            at += Utf8SequenceLength(static_cast<unsigned char>(body[at]));
        }
        body.resize(at < body.size() ? at : body.size());
    }
    out = Pad(spec, "", body, '<');
    return true;
}

}  // namespace

bool FormatValue(const PyValue& value, std::string_view specText, std::string& out)
{
    try {
        Spec spec;
        const bool numeric = value.kind == PyValue::Kind::Int || value.kind == PyValue::Kind::Float;
        if (value.kind == PyValue::Kind::Other) {
            if (!specText.empty()) {
                return false;
            }
            out = value.text;
            return true;
        }
        if (!ParseSpec(specText, numeric, spec)) {
            return false;
        }
        switch (value.kind) {
        case PyValue::Kind::Int:
            return FormatInt(value.integer, spec, out);
        case PyValue::Kind::Float:
            return FormatFloat(value.real, spec, out);
        default:
            return FormatText(value.text, spec, out);
        }
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace tarvos::definition
