// Production workloads through the public entry points, with the demo's
// tuning (line-pattern focus, 8 x 6 windows, margin 0.25, 5-tap filter,
// 17 x 13 gain grid), on every kernel table this CPU has (scalar, avx2,
// avx512), in the same run. Frames are bar charts with noise and a
// disparity that changes over the sweep. Prints the CPU, medians per
// workload and table side by side with their ratios, and checks that every
// table leaves the same gain maps, DCC maps, statuses and dumps.
//
// A table is chosen the way a host would: ORVANE_CPU=scalar or avx2 set
// while the context is created, unset for the library's own choice (the
// best table, avx512 where the CPU has it).
//
// A/B of library builds: given name=path arguments after the table name,
// the benchmark loads each path with dlopen (its own copy, RTLD_LOCAL) and
// runs that table on every one, alternating within each repetition, so two
// commits compare in one process on the same frames and the same load.
//
// Usage: orvane_production [repetitions] [workload letters, e.g. "abcd"] [table name]
//                          [name=path/to/liborvane.so ...]
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "bar_chart.h"
#include "library_copy.h"
#include "orvane.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

// CPU time of this thread: on a shared machine it is far steadier than the
// wall clock, which also counts the time other processes hold the core.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

// Wall and CPU time of one timed call.
struct stopwatch {
    clock_type::time_point wall;
    double cpu;
    stopwatch() : wall(clock_type::now()), cpu(cpu_ms()) {}
};

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

constexpr int kFrames = 12;
constexpr uint16_t kBlack = bar_chart::renderer::kBlack;

cal_settings demo_settings() {
    cal_settings s{};
    s.focus_abs_sum = 0;  // line-pattern focus
    s.focus_tapered = 0;
    s.gain_rows = 13;
    s.gain_cols = 17;
    s.gain_shift = 9;
    s.win_cols = 8;
    s.win_rows = 6;
    s.win_margin = 0.25f;
    s.dcc_shift = 10;
    const float taps[5] = {1.0f / 16, 4.0f / 16, 6.0f / 16, 4.0f / 16, 1.0f / 16};
    std::memcpy(s.filter_taps, taps, sizeof taps);
    s.filter_tap_count = 5;
    s.sweep_frames = kFrames;
    s.max_shift = 32;
    s.trim_frames = 1;
    s.min_pd_range = 8;
    for (float& limit : s.dcc_dev_limit) limit = 0.05f;
    s.residual_limit = 0.02f;
    s.pd_pitch_2pd = 1;
    s.lens_min = 0.0f;
    s.lens_max = 1023.0f;
    return s;
}

gain_limits demo_limits() { return gain_limits{3 * 512, kBlack + 64, 4095 - 64, 8}; }

// Disparity (sensor pixels) of frame k: the lens crosses focus between
// frames 5 and 6.
double disparity_of(int k) { return (k - 5.5) * 2.5; }
double lens_of(int k) { return 100.0 + 60.0 * k; }

// 12-bit levels, bars 64 pixels apart, no defects.
constexpr bar_chart::style kChart = {64.0, 6.0, 0.5, 8, 4095, false};

// Sparse PD layout: 16 x 16 blocks with 4 pairs, 2x1 (horizontal) or 1x2
// (vertical) microlens pairs.
sensor_cfg sparse_cfg(int w, int h, bool vertical) {
    sensor_cfg cfg{};
    cfg.image_width = static_cast<uint16_t>(w);
    cfg.image_height = static_cast<uint16_t>(h);
    cfg.black_level = kBlack;
    cfg.block_width = 16;
    cfg.block_height = 16;
    cfg.margin_x = 8;
    cfg.margin_y = 8;
    cfg.pair_count = 4;
    for (uint16_t k = 0; k < 4; ++k) {
        const auto along = static_cast<uint16_t>(4 * k);
        if (vertical) {
            cfg.v_left_x[k] = 3;
            cfg.v_left_y[k] = static_cast<uint16_t>(2 + along);
            cfg.v_right_x[k] = 3;
            cfg.v_right_y[k] = static_cast<uint16_t>(3 + along);
        } else {
            cfg.left_x[k] = static_cast<uint16_t>(1 + along);
            cfg.left_y[k] = 3;
            cfg.right_x[k] = static_cast<uint16_t>(2 + along);
            cfg.right_y[k] = 3;
        }
    }
    cfg.bayer_channel = 0;  // detected from the frame
    return cfg;
}

enum class kind { dual, horizontal, vertical };

struct workload {
    char letter;
    const char* name;
    kind layout;
    int width;
    int height;
};

// Timings of one path (vector or scalar) over all repetitions.
struct path_times {
    std::vector<double> gainmap, frame, dccmap, total;              // CPU time
    std::vector<double> wall_gainmap, wall_frame, wall_dccmap, wall_total;
    void add(std::vector<double>& cpu_list, std::vector<double>& wall_list, const stopwatch& w,
             double& cpu_total, double& wall_total_ms) {
        const double c = cpu_ms() - w.cpu;
        const double m = ms_since(w.wall);
        cpu_list.push_back(c);
        wall_list.push_back(m);
        cpu_total += c;
        wall_total_ms += m;
    }
};

// What a sweep leaves behind, to compare the two paths.
struct sweep_result {
    gainmap map{};
    dccmap dcc{};
    std::vector<uint32_t> statuses;
    std::vector<char> dump;
    std::vector<uint16_t> last_left;  // dual only: the host image after the last frame
};

std::vector<char> read_file(const std::string& path) {
    std::vector<char> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
        std::fclose(f);
    }
    return bytes;
}

// Frames of a workload, rendered once and shared by both paths.
struct frames {
    std::vector<uint16_t> flat_a, flat_b;
    std::vector<std::vector<uint16_t>> a, b;
    sensor_cfg cfg{};
};

frames render(const workload& wl) {
    frames f;
    f.a.resize(kFrames);
    f.b.resize(kFrames);
    const auto w = static_cast<uint32_t>(wl.width);
    const auto h = static_cast<uint32_t>(wl.height);
    bar_chart::renderer chart(w, h, kChart, 100);
    const auto flat = bar_chart::content::flat_field;
    const auto bars = bar_chart::content::chart;
    if (wl.layout == kind::dual) {
        chart.dual(0.0, flat, f.flat_a, f.flat_b);
        for (int k = 0; k < kFrames; ++k) chart.dual(disparity_of(k), bars, f.a[k], f.b[k]);
    } else {
        const bool v = wl.layout == kind::vertical;
        f.cfg = sparse_cfg(wl.width, wl.height, v);
        chart.raw(0.0, flat, f.cfg, v, f.flat_a);
        for (int k = 0; k < kFrames; ++k) chart.raw(disparity_of(k), bars, f.cfg, v, f.a[k]);
    }
    return f;
}

// A kernel table and the ORVANE_CPU value that makes a context run it
// (nullptr: unset, the library's own choice).
struct table_choice {
    std::string name;
    const char* cpu;
    const library* lib = nullptr;  // nullptr: the linked library
};

// The tables this CPU runs, scalar first, by the features the library's
// dispatch asks for (x86-64 builds carry the vector units). AVX-512 has no
// ORVANE_CPU value of its own: it is what the library picks when unset.
std::vector<table_choice> tables_of_this_cpu() {
    std::vector<table_choice> t = {{"scalar", "scalar"}};
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) t.push_back({"avx2", "avx2"});
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq")) {
        t.push_back({"avx512", nullptr});
    }
#endif
    return t;
}

// The model name, with family and model numbers (a virtual machine may
// report a bare brand name).
std::string cpu_model() {
    std::string name = "unknown CPU";
    std::string family;
    std::string model;
    if (FILE* f = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            const char* colon = std::strchr(line, ':');
            if (colon == nullptr) {
                if (name != "unknown CPU") break;  // end of the first processor
                continue;
            }
            std::string key(line, static_cast<size_t>(colon - line));
            std::string value = colon + 1;
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
            while (!value.empty() && value.front() == ' ') value.erase(value.begin());
            while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
            if (key == "model name") name = value;
            if (key == "cpu family") family = value;
            if (key == "model") model = value;
        }
        std::fclose(f);
    }
    if (!family.empty()) name += " (family " + family + ", model " + model + ")";
    return name;
}

std::string load_average() {
    std::string text = "unknown";
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        double a = 0, b = 0, c = 0;
        if (std::fscanf(f, "%lf %lf %lf", &a, &b, &c) == 3) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.2f %.2f %.2f", a, b, c);
            text = buf;
        }
        std::fclose(f);
    }
    return text;
}

sweep_result run_sweep(const workload& wl, const frames& fr, const table_choice& table,
                       path_times& t, const std::string& dump_path) {
    static const library linked;
    const library& L = table.lib != nullptr ? *table.lib : linked;
    const cal_settings settings = demo_settings();
    const gain_limits limits = demo_limits();
    if (table.cpu != nullptr) {
        setenv("ORVANE_CPU", table.cpu, 1);
    } else {
        unsetenv("ORVANE_CPU");
    }
    cal_context* ctx = L.create(&settings);
    unsetenv("ORVANE_CPU");
    if (ctx == nullptr) {
        std::fprintf(stderr, "Orvane_create failed\n");
        std::exit(1);
    }
    sweep_result res;
    std::vector<uint16_t> left, right;
    double total = 0.0;
    double wall_total = 0.0;

    stopwatch sw;
    uint32_t st = 0;
    switch (wl.layout) {
        case kind::dual:
            st = L.get_gainmap_2pd(ctx, fr.flat_a.data(), fr.flat_b.data(), wl.width,
                                        wl.height, kBlack, &res.map, &limits, 0.0f);
            break;
        case kind::horizontal:
            st = L.get_gainmap(ctx, fr.flat_a.data(), &fr.cfg, &res.map, &limits);
            break;
        case kind::vertical:
            st = L.get_gainmap_vertical(ctx, fr.flat_a.data(), &fr.cfg, &res.map, &limits);
            break;
    }
    t.add(t.gainmap, t.wall_gainmap, sw, total, wall_total);
    res.statuses.push_back(st);

    for (int k = 0; k < kFrames; ++k) {
        const auto lens = static_cast<int32_t>(lens_of(k));
        if (wl.layout == kind::dual) {
            left = fr.a[k];  // the call corrects the host's images in place
            right = fr.b[k];
            sw = stopwatch();
            st = L.add_raw_2pd(ctx, k, lens, left.data(), right.data(), wl.width, wl.height,
                                    kBlack, &res.map, static_cast<float>(lens));
        } else if (wl.layout == kind::horizontal) {
            sw = stopwatch();
            st = L.add_raw(ctx, k, lens, fr.a[k].data(), &fr.cfg, &res.map);
        } else {
            sw = stopwatch();
            st = L.add_raw_vertical(ctx, k, lens, fr.a[k].data(), &fr.cfg, &res.map);
        }
        t.add(t.frame, t.wall_frame, sw, total, wall_total);
        res.statuses.push_back(st);
    }
    if (wl.layout == kind::dual) res.last_left = left;

    sw = stopwatch();
    st = L.get_dccmap(ctx, &res.dcc, dump_path.c_str());
    t.add(t.dccmap, t.wall_dccmap, sw, total, wall_total);
    t.total.push_back(total);
    t.wall_total.push_back(wall_total);
    res.statuses.push_back(st);
    res.dump = read_file(dump_path);
    std::remove(dump_path.c_str());
    L.destroy(ctx);
    return res;
}

bool same(const sweep_result& x, const sweep_result& y) {
    return std::memcmp(&x.map, &y.map, sizeof x.map) == 0 &&
           std::memcmp(&x.dcc, &y.dcc, sizeof x.dcc) == 0 && x.statuses == y.statuses &&
           x.dump == y.dump && !x.dump.empty() && x.last_left == y.last_left;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string which = argc > 2 ? argv[2] : "abcd";
    // A table name runs that table alone (for profiling).
    const std::string only = argc > 3 ? argv[3] : "";
    const workload all[] = {
        {'a', "dual 2 x 4000 x 3000", kind::dual, 4000, 3000},
        {'b', "dual 2 x 1280 x 960", kind::dual, 1280, 960},
        {'c', "raw 4000 x 3000 horizontal", kind::horizontal, 4000, 3000},
        {'d', "raw 4000 x 3000 vertical", kind::vertical, 4000, 3000},
    };
    const std::string dump_path = "/tmp/orvane_production_" + std::to_string(getpid()) + ".dump";

    std::vector<table_choice> tables = tables_of_this_cpu();
    const std::string best = tables.back().name;
    if (!only.empty()) {
        std::vector<table_choice> kept;
        for (const table_choice& t : tables) {
            if (only == t.name) kept.push_back(t);
        }
        if (kept.empty()) {
            std::fprintf(stderr, "this CPU has no table named %s\n", only.c_str());
            return 2;
        }
        tables = kept;
    }
    // Library builds to compare: the chosen table on each.
    std::vector<library> libraries;
    libraries.reserve(static_cast<size_t>(std::max(0, argc - 4)));
    for (int i = 4; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos || only.empty()) {
            std::fprintf(stderr, "library builds are given as name=path after a table name\n");
            return 2;
        }
        libraries.push_back(load_library(arg.substr(0, eq), arg.substr(eq + 1)));
    }
    if (!libraries.empty()) {
        const table_choice chosen = tables.front();
        tables.clear();
        for (const library& lib : libraries) tables.push_back({lib.name, chosen.cpu, &lib});
        std::printf("Library builds, each on the %s table:", chosen.name.c_str());
        for (int i = 4; i < argc; ++i) std::printf(" %s", argv[i]);
        std::printf("\n");
    }
    const char* env = std::getenv("ORVANE_CPU");
    std::printf("CPU: %s, %ld logical CPUs, load average %s\n", cpu_model().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str());
    std::printf("Tables run:");
    for (const table_choice& t : tables) {
        std::printf(" %s (ORVANE_CPU=%s)", t.name.c_str(), t.cpu != nullptr ? t.cpu : "unset");
    }
    std::printf("; without ORVANE_CPU the library runs %s.\n", best.c_str());
    if (env != nullptr) {
        std::printf("ORVANE_CPU=%s from the environment is replaced for each table.\n", env);
    }
    std::printf("Medians over %d sweeps of %d frames, in ms of thread CPU time (wall clock in\n"
                "brackets); tables alternate within each repetition. x/y = time of x / time of y.\n\n",
                reps, kFrames);

    std::printf("%-30s %-14s", "workload", "step");
    for (const table_choice& t : tables) std::printf(" %18s", t.name.c_str());
    for (size_t i = 0; i < tables.size(); ++i) {
        for (size_t j = i + 1; j < tables.size(); ++j) {
            const std::string r = tables[i].name + "/" + tables[j].name;
            std::printf(" %13s", r.c_str());
        }
    }
    std::printf("\n");

    bool all_same = true;
    for (const workload& wl : all) {
        if (which.find(wl.letter) == std::string::npos) continue;
        const frames fr = render(wl);
        std::vector<path_times> times(tables.size());
        bool identical = true;
        std::string statuses;
        for (int r = 0; r < reps; ++r) {
            // Every table once per repetition, so all see the same machine load.
            sweep_result first;
            for (size_t i = 0; i < tables.size(); ++i) {
                sweep_result res = run_sweep(wl, fr, tables[i], times[i], dump_path);
                if (i == 0) {
                    first = std::move(res);
                } else {
                    identical = identical && same(first, res);
                }
            }
            if (r == 0) {
                std::string st;
                for (uint32_t x : first.statuses) st += " " + std::to_string(x);
                statuses = "statuses (gain map, frames, DCC map):" + st;
            }
        }
        all_same = all_same && identical;
        struct step_row {
            const char* step;
            std::vector<double> path_times::*cpu;
            std::vector<double> path_times::*wall;
        };
        const step_row rows[] = {{"gain map", &path_times::gainmap, &path_times::wall_gainmap},
                                 {"intake/frame", &path_times::frame, &path_times::wall_frame},
                                 {"get_dccmap", &path_times::dccmap, &path_times::wall_dccmap},
                                 {"12 frames e2e", &path_times::total, &path_times::wall_total}};
        char label[64];
        std::snprintf(label, sizeof label, "(%c) %s", wl.letter, wl.name);
        for (const step_row& row : rows) {
            std::printf("%-30s %-14s", label, row.step);
            std::vector<double> cpu(tables.size());
            for (size_t i = 0; i < tables.size(); ++i) {
                cpu[i] = median(times[i].*row.cpu);
                char cell[32];
                std::snprintf(cell, sizeof cell, "%.2f (%.2f)", cpu[i], median(times[i].*row.wall));
                std::printf(" %18s", cell);
            }
            for (size_t i = 0; i < tables.size(); ++i) {
                for (size_t j = i + 1; j < tables.size(); ++j) {
                    std::printf(" %12.2fx", cpu[j] > 0 ? cpu[i] / cpu[j] : 0.0);
                }
            }
            std::printf("\n");
            label[0] = '\0';
        }
        std::printf("%-30s %-14s %s; %s\n", "", "bit-exact",
                    tables.size() < 2 ? "(one table)" : identical ? "yes" : "NO",
                    statuses.c_str());
    }
    return all_same ? 0 : 1;
}
