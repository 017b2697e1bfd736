// A setter's pattern: a template in Python's format syntax read backwards, as
// the definition format's setters read it. Each field accepts exactly what
// the reference pattern parser accepts: "{:d}" an optional minus and digits,
// "{:.2f}" an optional minus, at least two digits and at most one point
// between them, "{}" and "{:s}" any text without a newline (as short as the
// rest allows), "{:+e}" a mandatory sign, and so on; the literal text must
// match byte for byte and the whole message must be used (a newline at its
// very end is allowed).
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "instrument/definition/PyValue.h"

namespace tarvos::definition {

class Pattern {
public:
    using Fields = std::vector<std::pair<std::string, PyValue>>;

    // False with the reason when the reference parser would refuse the text.
    bool Compile(std::string_view text, std::string& why);
    // The captured fields in order (names "0", "1"... for unnamed ones);
    // false when the input does not match. Fields that could split the input
    // in many ways are tried in the reference parser's order, but the work of
    // one match is bounded (see Pattern.cpp): a match that would take longer
    // counts as no match, where the reference parser's backtracking would run
    // for minutes or more.
    bool Match(std::string_view input, Fields& fields) const;
    // The literal text before the first field: every input that matches
    // starts with it.
    const std::string& Prefix() const { return prefix_; }

private:
    enum class Convert : uint8_t { Text, Int2, Int8, Int10, Int16, Float, Percent };
    struct Node {
        enum class Kind : uint8_t { Literal, Repeat, OptionalBegin, OptionalEnd, CaptureBegin, CaptureEnd } kind;
        std::string literal;
        std::bitset<256> set;
        uint32_t min = 0;
        uint32_t max = 0;
        bool greedy = true;
        // OptionalBegin: the index of its OptionalEnd; Capture*: the field.
        size_t other = 0;
    };
    struct Field {
        std::string name;
        Convert convert;
    };

    // One match in progress: the input, where the fields begin and end, the
    // steps known to fail from their node and position, and the work left.
    struct Search;
    // Whether the nodes from node on match the input from pos on to its end.
    bool Step(Search& search, size_t node, size_t pos) const;
    void AddLiteral(const std::string& text);
    void AddRepeat(const char* set, uint32_t min, uint32_t max, bool greedy);
    bool AddField(const std::string& formatSpec, bool capture, std::string& why);

    std::vector<Node> nodes_;
    std::vector<Field> fields_;
    std::string prefix_;
};

}  // namespace tarvos::definition
