#include "acceptance/verdict.h"

#include "io/files.h"

namespace orvane_tool::acceptance {
namespace fs = std::filesystem;
using io::json;

namespace {

std::string joined(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

std::string capitalised(std::string s) {
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

std::string root_text_of(const verdict& v) {
    std::vector<std::string> first, after;
    for (const check& c : v.checks) {
        if (c.result != outcome::fail) continue;
        (c.where == *v.root ? first : after).push_back(c.text);
    }
    std::string text = capitalised(stage_title(*v.root)) + " failed first: " +
                       joined(first, "; ") + ".";
    if (!after.empty())
        text += " What followed from it: " + joined(after, "; ") + ".";
    return text;
}

json check_json(const check& c) {
    json j = json::object();
    j["name"] = c.name;
    j["stage"] = stage_id(c.where);
    j["status"] = outcome_id(c.result);
    j["consequence"] = false;
    j["value"] = c.value ? json(*c.value) : json(nullptr);
    j["limit"] = c.limit;
    j["relation"] = c.relation.empty() ? json(nullptr) : json(c.relation);
    j["unit"] = c.unit;
    j["text"] = c.text;
    if (!c.windows.empty()) j["windows"] = c.windows;
    return j;
}

}  // namespace

std::vector<std::string> verdict::root_checks() const {
    std::vector<std::string> names;
    for (const check& c : checks)
        if (root && c.result == outcome::fail && c.where == *root) names.push_back(c.name);
    return names;
}

std::vector<std::string> verdict::consequences() const {
    std::vector<std::string> names;
    for (const check& c : checks)
        if (root && c.result == outcome::fail && c.where > *root) names.push_back(c.name);
    return names;
}

verdict judge(const module_files& files, const limits& l, const std::string& acceptance) {
    verdict v;
    v.acceptance = acceptance;
    for (check& c : run_checks(files, l))
        (c.where == stage::truth ? v.truth : v.checks).push_back(std::move(c));
    for (const check& c : v.checks)
        if (c.result == outcome::fail && (!v.root || c.where < *v.root)) v.root = c.where;
    v.pass = !v.root;
    if (v.root) v.root_text = root_text_of(v);
    return v;
}

module_files read_module_files(const fs::path& dir, const fs::path& verify_json) {
    module_files m;
    m.summary = io::read_json_file((dir / "summary.json").string());
    std::error_code ec;
    if (fs::exists(dir / "gainmap.json", ec)) m.gainmap = io::read_json_file((dir / "gainmap.json").string());
    if (!verify_json.empty()) m.verify = io::read_json_file(verify_json.string());
    return m;
}

limits limits_of(const std::string& acceptance_file) {
    return acceptance_file.empty() ? default_limits() : read_limits(acceptance_file);
}

json verdict_json(const verdict& v) {
    json j = json::object();
    j["verdict"] = v.pass ? "PASS" : "FAIL";
    j["acceptance"] = v.acceptance;
    if (v.root) {
        json r = json::object();
        r["stage"] = stage_id(*v.root);
        r["title"] = stage_title(*v.root);
        r["checks"] = v.root_checks();
        r["text"] = v.root_text;
        j["root_cause"] = std::move(r);
    } else {
        j["root_cause"] = nullptr;
    }
    json stages = json::array();
    for (int s = 0; s < kStages; ++s)
        stages.push_back({{"stage", stage_id(static_cast<stage>(s))},
                          {"title", stage_title(static_cast<stage>(s))}});
    j["stages"] = std::move(stages);
    json checks = json::array();
    for (const check& c : v.checks) {
        json x = check_json(c);
        x["consequence"] = v.root && c.result == outcome::fail && c.where > *v.root;
        checks.push_back(std::move(x));
    }
    j["checks"] = std::move(checks);
    std::vector<std::string> failed = v.root_checks();
    for (const std::string& n : v.consequences()) failed.push_back(n);
    j["failed_checks"] = failed;
    j["consequences"] = v.consequences();
    if (v.truth.empty()) {
        j["truth"] = nullptr;
    } else {
        json t = json::object();
        bool pass = true;
        json list = json::array();
        for (const check& c : v.truth) {
            pass = pass && c.result != outcome::fail;
            list.push_back(check_json(c));
        }
        t["pass"] = pass;
        t["checks"] = std::move(list);
        j["truth"] = std::move(t);
    }
    return j;
}

void write_verdict(const fs::path& dir, const verdict& v) {
    // Left alone when it holds the same verdict: a resumed lot touches no file.
    const std::string path = (dir / "verdict.json").string();
    const std::string text = io::json_text(verdict_json(v));
    std::error_code ec;
    if (fs::exists(path, ec)) {
        const std::vector<uint8_t> old = io::read_file(path);
        if (std::string(old.begin(), old.end()) == text) return;
    }
    io::write_file_atomic(path, text);
}

void print_verdict(std::FILE* out, const verdict& v) {
    if (v.pass) {
        std::fprintf(out, "Verdict: PASS (acceptance: %s)\n", v.acceptance.c_str());
    } else {
        std::fprintf(out, "Verdict: FAIL, root cause: %s (acceptance: %s)\n",
                     stage_title(*v.root), v.acceptance.c_str());
    }
    for (const check& c : v.checks) {
        if (c.result == outcome::pass || c.result == outcome::allowed) continue;
        const char* mark = c.result == outcome::not_run            ? "not run"
                           : v.root && c.where > *v.root            ? "follows"
                                                                     : "FAILED";
        std::fprintf(out, "  %-8s %-28s %s\n", mark, c.name.c_str(), c.text.c_str());
    }
    if (!v.truth.empty()) {
        bool pass = true;
        for (const check& c : v.truth) pass = pass && c.result != outcome::fail;
        std::fprintf(out, "Against the ground truth: %s\n", pass ? "pass" : "FAIL");
        for (const check& c : v.truth)
            if (c.result == outcome::fail)
                std::fprintf(out, "  FAILED   %-28s %s\n", c.name.c_str(), c.text.c_str());
    }
}

verdict judge_outputs(const fs::path& dir, const limits& l, const std::string& acceptance,
                      const fs::path& verify_json, const fs::path& verdict_dir, std::FILE* log) {
    const verdict v = judge(read_module_files(dir, verify_json), l, acceptance);
    write_verdict(verdict_dir, v);
    if (log) {
        print_verdict(log, v);
        std::fflush(log);
    }
    return v;
}

}  // namespace orvane_tool::acceptance
