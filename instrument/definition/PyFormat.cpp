#include "instrument/definition/PyFormat.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
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

struct FormatSpec {
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

// The widest field and the longest precision a format may ask for. Python
// would fill a field of any width it can allocate; an answer template with a
// width of a billion would make every query build a gigabyte, so a larger one
// is a format that can't be applied, as a format Python refuses.
constexpr long kMaxFieldSize = 100000;

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
bool ParseSpec(std::string_view s, bool numeric, FormatSpec& formatSpec)
{
    size_t pos = 0;
    const size_t first = s.empty() ? 0 : Utf8SequenceLength(static_cast<unsigned char>(s[0]));
    if (s.size() > first && IsAlign(s[first])) {
        formatSpec.fill = std::string(s.substr(0, first));
        formatSpec.fillGiven = true;
        formatSpec.align = s[first];
        pos = first + 1;
    } else if (!s.empty() && IsAlign(s[0])) {
        formatSpec.align = s[0];
        pos = 1;
    }
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-' || s[pos] == ' ')) {
        formatSpec.sign = s[pos++];
    }
    if (pos < s.size() && s[pos] == 'z') {
        formatSpec.coerceZero = true;
        ++pos;
    }
    if (pos < s.size() && s[pos] == '#') {
        formatSpec.alternate = true;
        ++pos;
    }
    if (!formatSpec.fillGiven && pos < s.size() && s[pos] == '0') {
        formatSpec.fill = "0";
        if (formatSpec.align == 0 && numeric) {
            formatSpec.align = '=';
        }
        ++pos;
    }
    if (!ReadNumber(s, pos, formatSpec.width) || formatSpec.width > kMaxFieldSize) {
        return false;
    }
    if (pos < s.size() && (s[pos] == ',' || s[pos] == '_')) {
        formatSpec.grouping = s[pos++];
        if (pos < s.size() && (s[pos] == ',' || s[pos] == '_')) {
            return false;  // both grouping characters
        }
    }
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        const size_t digits = pos;
        if (!ReadNumber(s, pos, formatSpec.precision) || pos == digits) {
            return false;  // a point without digits
        }
        if (formatSpec.precision > kMaxFieldSize) {
            return false;
        }
    }
    if (s.size() - pos > 1) {
        return false;  // more than one character left
    }
    if (pos < s.size()) {
        formatSpec.type = s[pos];
    }
    if (formatSpec.grouping != 0) {
        const char t = formatSpec.type;
        const bool decimal = t == 0 || t == 'd' || t == 'e' || t == 'E' || t == 'f' || t == 'F' || t == 'g' ||
                             t == 'G' || t == '%';
        const bool underscoreOnly = t == 'b' || t == 'o' || t == 'x' || t == 'X';
        if (!(decimal || (underscoreOnly && formatSpec.grouping == '_'))) {
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
std::string Pad(const FormatSpec& formatSpec, const std::string& prefix, const std::string& body, char defaultAlign)
{
    const size_t length = CodePoints(prefix) + CodePoints(body);
    if (formatSpec.width < 0 || static_cast<size_t>(formatSpec.width) <= length) {
        return prefix + body;
    }
    const size_t padding = static_cast<size_t>(formatSpec.width) - length;
    auto fill = [&](size_t n) {
        std::string f;
        for (size_t i = 0; i < n; ++i) {
            f += formatSpec.fill;
        }
        return f;
    };
    switch (formatSpec.align != 0 ? formatSpec.align : defaultAlign) {
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

std::string SignText(const FormatSpec& formatSpec, bool negative)
{
    if (negative) {
        return "-";
    }
    if (formatSpec.sign == '+') {
        return "+";
    }
    if (formatSpec.sign == ' ') {
        return " ";
    }
    return "";
}

// The digits before the point (or exponent) of a float body are grouped; the
// zero padding goes into the grouping when fill '0' aligns after the sign.
std::string GroupNumberBody(const FormatSpec& formatSpec, const std::string& body, size_t prefixLength, int every)
{
    const bool zeroPad = formatSpec.fill == "0" && formatSpec.align == '=' && formatSpec.width > 0;
    if (formatSpec.grouping == 0 && !zeroPad) {
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
    if (zeroPad && static_cast<size_t>(formatSpec.width) > prefixLength + rest.size()) {
        minimum = static_cast<size_t>(formatSpec.width) - prefixLength - rest.size();
    }
    if (formatSpec.grouping == 0) {
        std::string digits = body.substr(0, end);
        if (digits.size() < minimum) {
            digits.insert(0, minimum - digits.size(), '0');
        }
        return digits + rest;
    }
    return Group(body.substr(0, end), formatSpec.grouping, every, minimum) + rest;
}

// A double's exact decimal expansion has at most this many significant digits.
constexpr long kExactDigits = 767;

// A finite non-negative v in fixed point with precision digits when they ask
// for more significant digits than its exact expansion has ({fmt} drops a
// digit there): the digits of that expansion, then zeros, with no rounding
// needed. Empty when the request is within the expansion.
std::string FixedPastExactDigits(double v, long precision)
{
    if (v == 0.0) {
        return precision > 0 ? "0." + std::string(static_cast<size_t>(precision), '0') : "0";
    }
    // d.ddd...e±x with every significant digit of the expansion.
    const std::string exact = fmt::format("{:.{}e}", v, kExactDigits - 1);
    const size_t mark = exact.find('e');
    const long exponent = std::strtol(exact.c_str() + mark + 1, nullptr, 10);
    if (precision + exponent + 1 <= kExactDigits) {
        return {};
    }
    const std::string digits = exact.substr(0, 1) + exact.substr(2, mark - 2);
    std::string whole = "0";
    std::string fraction;
    if (exponent >= 0) {
        whole = digits.substr(0, static_cast<size_t>(exponent) + 1);
        fraction = digits.substr(static_cast<size_t>(exponent) + 1);
    } else {
        fraction = std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    }
    fraction.resize(static_cast<size_t>(precision), '0');
    return whole + "." + fraction;
}

std::string FixedFromFmt(double v, long precision, char type, bool alternate)
{
    if ((type == 'f' || type == 'F') && precision >= kExactDigits - 310 && std::isfinite(v)) {
        std::string fixed = FixedPastExactDigits(v, precision);
        if (!fixed.empty()) {
            return fixed;
        }
    }
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

bool FormatFloat(double value, FormatSpec& formatSpec, std::string& out)
{
    char type = formatSpec.type;
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
            if (formatSpec.precision < 0) {
                body = Shortest(magnitude, formatSpec.alternate);
            } else {
                body = General(magnitude, formatSpec.precision, false, formatSpec.alternate, true);
            }
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
            body = FixedFromFmt(magnitude, formatSpec.precision < 0 ? 6 : formatSpec.precision, type, formatSpec.alternate);
            break;
        case 'g':
        case 'G':
        case 'n':
            body = General(magnitude, formatSpec.precision < 0 ? 6 : formatSpec.precision, type == 'G', formatSpec.alternate, false);
            break;
        case '%':
            body = FixedFromFmt(magnitude * 100.0, formatSpec.precision < 0 ? 6 : formatSpec.precision, 'f', formatSpec.alternate) + "%";
            break;
        default:
            break;
        }
        if (formatSpec.coerceZero && negative) {
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
    const std::string prefix = SignText(formatSpec, negative);
    body = GroupNumberBody(formatSpec, body, prefix.size(), 3);
    out = Pad(formatSpec, prefix, body, '>');
    return true;
}

bool FormatInt(int64_t value, FormatSpec& formatSpec, std::string& out)
{
    switch (formatSpec.type) {
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case '%':
        return FormatFloat(static_cast<double>(value), formatSpec, out);
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
    if (formatSpec.precision >= 0 || formatSpec.coerceZero) {
        return false;  // no precision for integer types
    }
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (formatSpec.type == 'c') {
        if (formatSpec.sign != 0 || formatSpec.alternate || value < 0 || value > 0x10FFFF) {
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
        out = Pad(formatSpec, "", ch, '>');
        return true;
    }
    int base = 10;
    std::string radix;
    switch (formatSpec.type) {
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
        digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : (formatSpec.type == 'X' ? 'A' : 'a') + d - 10));
        rest /= static_cast<uint64_t>(base);
    } while (rest != 0);
    const std::string prefix = SignText(formatSpec, negative) + (formatSpec.alternate ? radix : "");
    const std::string body = GroupNumberBody(formatSpec, digits, CodePoints(prefix), base == 10 ? 3 : 4);
    out = Pad(formatSpec, prefix, body, '>');
    return true;
}

bool FormatText(const std::string& value, FormatSpec& formatSpec, std::string& out)
{
    if (formatSpec.type != 0 && formatSpec.type != 's') {
        return false;
    }
    if (formatSpec.sign != 0 || formatSpec.alternate || formatSpec.align == '=' || formatSpec.grouping != 0 || formatSpec.coerceZero) {
        return false;
    }
    std::string body = value;
    if (formatSpec.precision >= 0) {
        size_t at = 0;
        for (long n = 0; n < formatSpec.precision && at < body.size(); ++n) {
            at += Utf8SequenceLength(static_cast<unsigned char>(body[at]));
        }
        body.resize(at < body.size() ? at : body.size());
    }
    out = Pad(formatSpec, "", body, '<');
    return true;
}

}  // namespace

bool FormatValue(const PyValue& value, std::string_view specText, std::string& out)
{
    try {
        FormatSpec formatSpec;
        const bool numeric = value.kind == PyValue::Kind::Int || value.kind == PyValue::Kind::Float;
        if (value.kind == PyValue::Kind::Other) {
            if (!specText.empty()) {
                return false;
            }
            out = value.text;
            return true;
        }
        if (!ParseSpec(specText, numeric, formatSpec)) {
            return false;
        }
        switch (value.kind) {
        case PyValue::Kind::Int:
            return FormatInt(value.integer, formatSpec, out);
        case PyValue::Kind::Float:
            return FormatFloat(value.real, formatSpec, out);
        default:
            return FormatText(value.text, formatSpec, out);
        }
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace tarvos::definition
