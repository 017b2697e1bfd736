#include "instrument/definition/Pattern.h"

#include "instrument/definition/PyFormat.h"

namespace tarvos::definition {

namespace {

constexpr uint32_t kUnbounded = 0xFFFFFFFFu;

// The work one match may do, counted in steps and in bytes that fields look
// at: enough for any pattern that doesn't have to try many ways of splitting
// the input (every node then looks at every byte a few times at most), and a
// bound for those that would: a pattern of adjacent free fields tried against
// an input they can't match otherwise takes time exponential in their count.
constexpr uint64_t kWorkPerByte = 64;
constexpr uint64_t kWorkBase = 1'000'000;
// Steps known to fail are remembered (a step's outcome depends only on its
// node and position) while nodes times positions stay within this many.
constexpr size_t kFailureMemoLimit = size_t {1} << 24;

bool IsAlign(char c)
{
    return c == '<' || c == '>' || c == '=' || c == '^';
}

bool IsTypeChar(char c)
{
    return std::string_view("bcdeEfFgGnosxX%").find(c) != std::string_view::npos;
}

}  // namespace

void Pattern::AddLiteral(const std::string& text)
{
    if (text.empty()) {
        return;
    }
    Node node {Node::Kind::Literal, text, {}, 0, 0, true, 0};
    nodes_.push_back(node);
}

void Pattern::AddRepeat(const char* set, uint32_t min, uint32_t max, bool greedy)
{
    Node node {Node::Kind::Repeat, {}, {}, min, max, greedy, 0};
    if (set == nullptr) {
        node.set.set();
        node.set.reset('\n');
    } else {
        for (const char* c = set; *c != 0; ++c) {
            node.set.set(static_cast<unsigned char>(*c));
        }
    }
    nodes_.push_back(node);
}

// What the reference parser makes of a field's format: it reads, from the start,
// the optional parts of a format ([[fill]align][sign][#][0][width][,][.precision]
// [type]) as far as they go and looks at the sign, the alternate form and
// the type only.
bool Pattern::AddField(const std::string& formatSpec, bool capture, std::string& why)
{
    size_t pos = 0;
    const size_t first = formatSpec.empty() ? 0 : Utf8SequenceLength(static_cast<unsigned char>(formatSpec[0]));
    if (formatSpec.size() > first && formatSpec[0] != '{' && formatSpec[0] != '}' && IsAlign(formatSpec[first])) {
        pos = first + 1;
    } else if (!formatSpec.empty() && IsAlign(formatSpec[0])) {
        pos = 1;
    }
    char sign = 0;
    if (pos < formatSpec.size() && (formatSpec[pos] == '+' || formatSpec[pos] == '-' || formatSpec[pos] == ' ')) {
        sign = formatSpec[pos++];
    }
    bool alternate = false;
    if (pos < formatSpec.size() && formatSpec[pos] == '#') {
        alternate = true;
        ++pos;
    }
    if (pos < formatSpec.size() && formatSpec[pos] == '0') {
        ++pos;
    }
    while (pos < formatSpec.size() && formatSpec[pos] >= '0' && formatSpec[pos] <= '9') {
        ++pos;
    }
    if (pos < formatSpec.size() && formatSpec[pos] == ',') {
        ++pos;
    }
    if (pos + 1 < formatSpec.size() && formatSpec[pos] == '.' && formatSpec[pos + 1] >= '0' && formatSpec[pos + 1] <= '9') {
        pos += 2;
        while (pos < formatSpec.size() && formatSpec[pos] >= '0' && formatSpec[pos] <= '9') {
            ++pos;
        }
    }
    std::string type;
    while (pos < formatSpec.size() && IsTypeChar(formatSpec[pos])) {
        type += formatSpec[pos++];
    }
    const char t = type.empty() ? 's' : type[0];
    if (type.size() > 1 || t == 'c' || t == 'n') {
        why = type + " is not an valid type";
        return false;
    }
    if (alternate && t != 'o' && t != 'x' && t != 'X' && t != 'b') {
        why = "Alternate form (#) not allowed in " + (type.empty() ? std::string("None") : type) + " type";
        return false;
    }
    const size_t field = fields_.size();
    if (capture) {
        nodes_.push_back(Node {Node::Kind::CaptureBegin, {}, {}, 0, 0, true, field});
    }
    if (sign == '+') {
        AddRepeat("-+", 1, 1, true);
    } else if (sign == ' ') {
        AddRepeat("- ", 1, 1, true);
    } else {
        AddRepeat("-", 0, 1, true);
    }
    if (alternate) {
        AddLiteral(std::string("0") + t);
    }
    Convert convert = Convert::Text;
    auto floatBody = [this](const char* exponentLetters) {
        AddRepeat("0123456789", 1, kUnbounded, true);
        AddRepeat(".", 0, 1, true);
        AddRepeat("0123456789", 1, kUnbounded, true);
        if (exponentLetters != nullptr) {
            const size_t begin = nodes_.size();
            nodes_.push_back(Node {Node::Kind::OptionalBegin, {}, {}, 0, 0, true, 0});
            AddRepeat(exponentLetters, 1, 1, true);
            AddRepeat("-+", 0, 1, true);
            AddRepeat("0123456789", 1, kUnbounded, true);
            nodes_[begin].other = nodes_.size();
            nodes_.push_back(Node {Node::Kind::OptionalEnd, {}, {}, 0, 0, true, 0});
        }
    };
    switch (t) {
    case 's':
        AddRepeat(nullptr, 0, kUnbounded, false);
        break;
    case 'd':
        AddRepeat("0123456789", 1, kUnbounded, false);
        convert = Convert::Int10;
        break;
    case 'b':
        AddRepeat("01", 1, kUnbounded, false);
        convert = Convert::Int2;
        break;
    case 'o':
        AddRepeat("01234567", 1, kUnbounded, false);
        convert = Convert::Int8;
        break;
    case 'x':
        AddRepeat("0123456789abcdef", 1, kUnbounded, false);
        convert = Convert::Int16;
        break;
    case 'X':
        AddRepeat("0123456789ABCDEF", 1, kUnbounded, false);
        convert = Convert::Int16;
        break;
    case 'e':
        floatBody("e");
        convert = Convert::Float;
        break;
    case 'E':
        floatBody("E");
        convert = Convert::Float;
        break;
    case 'f':
    case 'F':
        floatBody(nullptr);
        convert = Convert::Float;
        break;
    case 'g':
    case 'G':
        floatBody("eE");
        convert = Convert::Float;
        break;
    case '%':
        floatBody(nullptr);
        AddLiteral("%");
        convert = Convert::Percent;
        break;
    default:
        why = type + " is not an valid type";
        return false;
    }
    if (capture) {
        nodes_.push_back(Node {Node::Kind::CaptureEnd, {}, {}, 0, 0, true, field});
        fields_.push_back(Field {{}, convert});
    }
    return true;
}

bool Pattern::Compile(std::string_view text, std::string& why)
{
    nodes_.clear();
    fields_.clear();
    prefix_.clear();
    std::vector<TemplatePiece> pieces;
    if (!ParseTemplate(text, pieces, &why)) {
        return false;
    }
    size_t number = 0;
    bool inPrefix = true;
    for (const TemplatePiece& piece : pieces) {
        AddLiteral(piece.literal);
        if (inPrefix) {
            prefix_ += piece.literal;
        }
        if (!piece.hasField) {
            continue;
        }
        inPrefix = false;
        std::string name = piece.fieldName;
        const bool capture = name != "_";
        if (capture && (name.empty() || name[0] == '.' || name[0] == '[')) {
            name = std::to_string(number++) + name;
        }
        if (!AddField(piece.formatSpec, capture, why)) {
            return false;
        }
        if (capture) {
            fields_.back().name = name;
        }
    }
    return true;
}

struct Pattern::Search {
    std::string_view input;
    std::vector<size_t> marks;
    // failed[node * (input.size() + 1) + pos]; empty when too large.
    std::vector<bool> failed;
    uint64_t workLeft = 0;

    bool Spend(uint64_t work)
    {
        if (workLeft < work) {
            workLeft = 0;
            return false;
        }
        workLeft -= work;
        return true;
    }
    size_t Slot(size_t node, size_t pos) const { return node * (input.size() + 1) + pos; }
};

bool Pattern::Step(Search& search, size_t index, size_t pos) const
{
    const std::string_view input = search.input;
    if (index == nodes_.size()) {
        return pos == input.size() || (pos + 1 == input.size() && input[pos] == '\n');
    }
    if (!search.Spend(1)) {
        return false;
    }
    const bool memo = !search.failed.empty();
    if (memo && search.failed[search.Slot(index, pos)]) {
        return false;
    }
    const Node& node = nodes_[index];
    bool matched = false;
    switch (node.kind) {
    case Node::Kind::Literal:
        matched = input.substr(pos, node.literal.size()) == node.literal &&
                  Step(search, index + 1, pos + node.literal.size());
        break;
    case Node::Kind::CaptureBegin:
        search.marks[2 * node.other] = pos;
        matched = Step(search, index + 1, pos);
        break;
    case Node::Kind::CaptureEnd:
        search.marks[2 * node.other + 1] = pos;
        matched = Step(search, index + 1, pos);
        break;
    case Node::Kind::OptionalBegin:
        matched = Step(search, index + 1, pos) || Step(search, node.other + 1, pos);
        break;
    case Node::Kind::OptionalEnd:
        matched = Step(search, index + 1, pos);
        break;
    case Node::Kind::Repeat: {
        size_t available = 0;
        while (pos + available < input.size() && available < node.max &&
               node.set.test(static_cast<unsigned char>(input[pos + available]))) {
            ++available;
        }
        if (available < node.min || !search.Spend(available)) {
            break;
        }
        if (node.greedy) {
            for (size_t n = available + 1; !matched && n-- > node.min;) {
                matched = Step(search, index + 1, pos + n);
            }
        } else {
            for (size_t n = node.min; !matched && n <= available; ++n) {
                matched = Step(search, index + 1, pos + n);
            }
        }
        break;
    }
    }
    if (!matched && memo) {
        search.failed[search.Slot(index, pos)] = true;
    }
    return matched;
}

bool Pattern::Match(std::string_view input, Fields& fields) const
{
    if (input.substr(0, prefix_.size()) != prefix_) {
        return false;
    }
    Search search;
    search.input = input;
    search.marks.assign(2 * fields_.size(), 0);
    if (nodes_.size() <= kFailureMemoLimit / (input.size() + 1)) {
        search.failed.assign(nodes_.size() * (input.size() + 1), false);
    }
    search.workLeft = kWorkBase + kWorkPerByte * static_cast<uint64_t>(input.size());
    if (!Step(search, 0, 0)) {
        return false;
    }
    const std::vector<size_t>& marks = search.marks;
    fields.clear();
    for (size_t i = 0; i < fields_.size(); ++i) {
        const std::string_view text = input.substr(marks[2 * i], marks[2 * i + 1] - marks[2 * i]);
        PyValue value;
        int64_t integer = 0;
        double real = 0.0;
        switch (fields_[i].convert) {
        case Convert::Text:
            value = PyValue::Str(std::string(text));
            break;
        case Convert::Int2:
        case Convert::Int8:
        case Convert::Int10:
        case Convert::Int16: {
            const int base = fields_[i].convert == Convert::Int2    ? 2
                             : fields_[i].convert == Convert::Int8  ? 8
                             : fields_[i].convert == Convert::Int10 ? 10
                                                                     : 16;
            if (!PyIntFromText(text, base, integer)) {
                return false;
            }
            value = PyValue::Int(integer);
            break;
        }
        case Convert::Float:
            if (!PyFloatFromText(text, real)) {
                return false;
            }
            value = PyValue::Float(real);
            break;
        case Convert::Percent:
            if (!PyFloatFromText(text.substr(0, text.size() - 1), real)) {
                return false;
            }
            value = PyValue::Float(real / 100);
            break;
        }
        fields.emplace_back(fields_[i].name, value);
    }
    return true;
}

}  // namespace tarvos::definition
