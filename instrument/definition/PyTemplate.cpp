// Templates: str.format's replacement fields over the values of one answer.
#include "instrument/definition/PyFormat.h"

namespace tarvos::definition {

namespace {

// The attribute and index access a template may apply to a value: .real and
// .imag of a number, [n] of a text (a code point).
bool Access(const PyValue& value, const std::string& access, PyValue& out)
{
    const bool number = value.kind == PyValue::Kind::Int || value.kind == PyValue::Kind::Float;
    if (access == ".real" && number) {
        out = value;
        return true;
    }
    if (access == ".imag" && number) {
        out = value.kind == PyValue::Kind::Int ? PyValue::Int(0) : PyValue::Float(0.0);
        return true;
    }
    if (value.kind == PyValue::Kind::Str && access.size() > 2 && access[0] == '[' && access.back() == ']') {
        const std::string index = access.substr(1, access.size() - 2);
        if (index.size() > 9 || index.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        size_t at = 0;
        for (unsigned long n = std::stoul(index); n > 0 && at < value.text.size(); --n) {
            at += Utf8SequenceLength(static_cast<unsigned char>(value.text[at]));
        }
        if (at >= value.text.size()) {
            return false;
        }
        out = PyValue::Str(value.text.substr(at, Utf8SequenceLength(static_cast<unsigned char>(value.text[at]))));
        return true;
    }
    return false;
}

}  // namespace

bool ParseTemplate(std::string_view text, std::vector<TemplatePiece>& pieces, std::string* why)
{
    auto fail = [&](const char* reason) {
        if (why != nullptr) {
            *why = reason;
        }
        return false;
    };
    pieces.clear();
    TemplatePiece piece;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                piece.literal += '}';
                i += 2;
                continue;
            }
            return fail("Single '}' encountered in format string");
        }
        if (c != '{') {
            piece.literal += c;
            ++i;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '{') {
            piece.literal += '{';
            i += 2;
            continue;
        }
        // A replacement field: up to the '}' that closes it, nested braces counted.
        size_t depth = 1;
        size_t j = i + 1;
        for (; j < text.size(); ++j) {
            if (text[j] == '{') {
                ++depth;
            } else if (text[j] == '}' && --depth == 0) {
                break;
            }
        }
        if (j >= text.size()) {
            return fail(i + 1 >= text.size() ? "Single '{' encountered in format string"
                                             : "expected '}' before end of string");
        }
        const std::string_view field = text.substr(i + 1, j - i - 1);
        size_t k = 0;
        bool inBracket = false;
        for (; k < field.size(); ++k) {
            if (inBracket) {
                inBracket = field[k] != ']';
            } else if (field[k] == '[') {
                inBracket = true;
            } else if (field[k] == ':' || field[k] == '!') {
                break;
            }
        }
        piece.hasField = true;
        piece.fieldName = std::string(field.substr(0, k));
        if (k < field.size() && field[k] == '!') {
            if (k + 1 >= field.size()) {
                return fail("end of string while looking for conversion specifier");
            }
            piece.conversion = field[k + 1];
            k += 2;
            if (k < field.size() && field[k] != ':') {
                return fail("expected ':' after conversion specifier");
            }
        }
        if (k < field.size()) {
            piece.formatSpec = std::string(field.substr(k + 1));
        }
        pieces.push_back(piece);
        piece = TemplatePiece();
        i = j + 1;
    }
    if (!piece.literal.empty()) {
        pieces.push_back(piece);
    }
    return true;
}

bool FormatTemplate(std::string_view text, const std::vector<PyValue>& positional, const NamedValues& named,
                    std::string& out)
{
    std::vector<TemplatePiece> pieces;
    if (!ParseTemplate(text, pieces)) {
        return false;
    }
    out.clear();
    size_t autoIndex = 0;
    bool autoUsed = false;
    bool manualUsed = false;
    for (const TemplatePiece& piece : pieces) {
        out += piece.literal;
        if (!piece.hasField) {
            continue;
        }
        const PyValue* value = nullptr;
        const std::string& name = piece.fieldName;
        std::string access;
        const size_t accessAt = name.find_first_of(".[");
        const std::string base = name.substr(0, accessAt);
        if (accessAt != std::string::npos) {
            access = name.substr(accessAt);
        }
        if (base.empty()) {
            // "{}": the next argument, never beside numbered fields.
            if (manualUsed || autoIndex >= positional.size()) {
                return false;
            }
            autoUsed = true;
            value = &positional[autoIndex++];
        } else if (base.find_first_not_of("0123456789") == std::string::npos) {
            const size_t index = base.size() > 9 ? positional.size() : std::stoul(base);
            if (autoUsed || index >= positional.size()) {
                return false;
            }
            manualUsed = true;
            value = &positional[index];
        } else {
            for (const auto& [key, v] : named) {
                if (key == base) {
                    value = &v;
                }
            }
            if (value == nullptr) {
                return false;
            }
        }
        PyValue accessed;
        if (!access.empty()) {
            if (!Access(*value, access, accessed)) {
                return false;
            }
            value = &accessed;
        }
        // A format with replacement fields of its own is not served.
        if (piece.formatSpec.find_first_of("{}") != std::string::npos) {
            return false;
        }
        PyValue converted;
        const PyValue* shown = value;
        if (piece.conversion != 0) {
            if (piece.conversion == 's') {
                converted = PyValue::Str(PyStr(*value));
            } else if (piece.conversion == 'r' || piece.conversion == 'a') {
                converted = PyValue::Str(PyRepr(*value));
            } else {
                return false;
            }
            shown = &converted;
        }
        std::string formatted;
        if (!FormatValue(*shown, piece.formatSpec, formatted)) {
            return false;
        }
        out += formatted;
    }
    return true;
}

}  // namespace tarvos::definition
