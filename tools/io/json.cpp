#include "io/json.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

namespace orvane_tool::io {

json float_json(float v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    return json(v);
}

std::string shown(const json& v) {
    // Escaped to ASCII, so a value never breaks the message's one line.
    std::string s = v.dump(-1, ' ', true, json::error_handler_t::replace);
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

std::string shown_key(const std::string& key) {
    std::string s = json(key).dump(-1, ' ', true, json::error_handler_t::replace);
    s = s.substr(1, s.size() - 2);
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

namespace {

// Records nest three levels deep; a deeper document is refused while it is
// parsed, so that nothing built from it (messages, copies) recurses without bound.
constexpr int kMaxJsonDepth = 16;

// A refusal raised inside the parser's callback.
struct json_refusal {
    std::string why;
};

}  // namespace

json parse_json(const std::string& text, const std::string& source) {
    // Keys seen so far in each open object; arrays hold no set.
    std::vector<std::optional<std::set<std::string>>> open;
    const json::parser_callback_t check = [&open](int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                if (open.size() >= kMaxJsonDepth)
                    throw json_refusal{"nested more than " + std::to_string(kMaxJsonDepth) +
                                       " levels deep"};
                open.emplace_back();
                if (event == json::parse_event_t::object_start) open.back().emplace();
                break;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                if (!open.empty()) open.pop_back();
                break;
            case json::parse_event_t::key:
                if (!open.empty() && open.back() &&
                    !open.back()->insert(parsed.get_ref<const std::string&>()).second)
                    throw json_refusal{"duplicate key '" +
                                       shown_key(parsed.get_ref<const std::string&>()) + "'"};
                break;
            case json::parse_event_t::value:
                break;
        }
        return true;
    };
    try {
        return json::parse(text, check);
    } catch (const json_refusal& r) {
        throw io_error(source + ": invalid JSON: " + r.why);
    } catch (const json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " tag, and keep
        // the line short: the token it quotes may be the whole file.
        std::string what = e.what();
        const size_t close = what.find("] ");
        if (what.rfind("[json.exception.", 0) == 0 && close != std::string::npos)
            what = what.substr(close + 2);
        if (what.size() > 200) what = what.substr(0, 197) + "...";
        throw io_error(source + ": invalid JSON: " + what);
    }
}

json read_json_file(const std::string& path) {
    const std::vector<uint8_t> bytes = read_file(path, kMaxJsonFileBytes, "a JSON file");
    return parse_json(std::string(bytes.begin(), bytes.end()), path);
}

namespace {

bool is_scalar(const json& v) { return !v.is_array() && !v.is_object(); }

// Two-space indentation like dump(2), but arrays of plain values stay on one
// line, so grids read as rows.
void append_json(std::string& out, const json& v, size_t indent) {
    const std::string inner(indent + 2, ' ');
    if (v.is_object() && !v.empty()) {
        out += "{\n";
        size_t i = 0;
        for (const auto& item : v.items()) {
            out += inner + json(item.key()).dump() + ": ";
            append_json(out, item.value(), indent + 2);
            out += ++i < v.size() ? ",\n" : "\n";
        }
        out += std::string(indent, ' ') + "}";
    } else if (v.is_array() && !v.empty()) {
        if (std::all_of(v.begin(), v.end(), is_scalar)) {
            out += "[";
            for (size_t k = 0; k < v.size(); ++k) out += (k ? ", " : "") + v[k].dump();
            out += "]";
            return;
        }
        out += "[\n";
        for (size_t k = 0; k < v.size(); ++k) {
            out += inner;
            append_json(out, v[k], indent + 2);
            out += k + 1 < v.size() ? ",\n" : "\n";
        }
        out += std::string(indent, ' ') + "]";
    } else {
        out += v.dump();
    }
}

}  // namespace

std::string json_text(const json& value) {
    std::string out;
    append_json(out, value, 0);
    return out + "\n";
}

void write_json_file(const std::string& path, const json& value) {
    write_file_atomic(path, json_text(value));
}

}  // namespace orvane_tool::io
