#include "recv_tool/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qel::recv_tool {

namespace {

double rate(double amount, double seconds) {
    return seconds > 0 ? amount / seconds : 0;
}

double gbit(uint64_t bytes, double seconds) {
    return rate(static_cast<double>(bytes) * 8 / 1e9, seconds);
}

// The run's average processor use, in percent of one processor.
double cpu_percent(const Sample &s) {
    return rate(s.cpu_seconds * 100, s.seconds);
}

std::string format(const char *pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// Every counter of the library's statistics record, by name.
std::vector<std::pair<const char *, uint64_t>> stats_fields(const qel_stats_t &s) {
    return {{"blocks_dropped", s.blocks_dropped},
            {"blocks_dropped_by_watchdog", s.blocks_dropped_by_watchdog},
            {"blocks_complete", s.blocks_complete},
            {"blocks_incomplete", s.blocks_incomplete},
            {"poll_errors", s.poll_errors},
            {"resend_requests", s.resend_requests},
            {"resend_sent", s.resend_sent},
            {"resend_failed", s.resend_failed},
            {"block_timeouts", s.block_timeouts},
            {"resend_timeouts", s.resend_timeouts},
            {"resend_limit_hits", s.resend_limit_hits},
            {"buffers_allocated", s.buffers_allocated},
            {"buffers_freed", s.buffers_freed},
            {"buffers_queued", s.buffers_queued},
            {"worker_stops", s.worker_stops},
            {"worker_starts", s.worker_starts},
            {"worker_blocks", s.worker_blocks},
            {"worker_unblocks", s.worker_unblocks},
            {"worker_resend_series", s.worker_resend_series}};
}

// Each cause of loss by name, in the order the summary shows them.
std::vector<std::pair<const char *, uint64_t>> loss_fields(const Losses &l) {
    return {{"no_buffer_queued", l.no_buffer}, {"too_large", l.too_large},
            {"out_of_order", l.order},         {"firmware_status", l.protocol},
            {"incomplete", l.incomplete},      {"block_timeout", l.block_timeout},
            {"resend_limit", l.resend_limit},  {"watchdog", l.watchdog}};
}

// "none", or "no buffer queued 3, incomplete 2 (block timeout 2)": the causes that occurred;
// the parenthesis says why incomplete blocks were given up, where the library knows.
std::string loss_text(const Losses &l) {
    std::string text, why;
    const auto fields = loss_fields(l);
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].second == 0) continue;
        std::string item = fields[i].first;
        std::replace(item.begin(), item.end(), '_', ' ');
        item += " " + std::to_string(fields[i].second);
        std::string &into = i < 5 ? text : why;
        into += (into.empty() ? "" : ", ") + item;
    }
    if (!why.empty()) text += (text.empty() ? "" : " ") + ("(" + why + ")");
    return text.empty() ? "none" : text;
}

}  // namespace

std::string status_line(const Sample &before, const Sample &now) {
    const double dt = now.seconds - before.seconds;
    return format(
        "%6.1f s  %7.1f frames/s  %6.3f Gbit/s  delivered %llu  incomplete %llu  dropped %llu  "
        "resend requests %llu  CPU %.0f%%",
        now.seconds, rate(static_cast<double>(now.delivered - before.delivered), dt),
        gbit(now.bytes - before.bytes, dt), static_cast<unsigned long long>(now.delivered),
        static_cast<unsigned long long>(now.incomplete),
        static_cast<unsigned long long>(now.dropped),
        static_cast<unsigned long long>(now.resend_requests),
        rate((now.cpu_seconds - before.cpu_seconds) * 100, dt));
}

std::string summary_table(const Summary &s) {
    std::vector<std::pair<std::string, std::string>> rows;
    auto add = [&](const char *name, std::string value) { rows.emplace_back(name, value); };
    auto count = [](uint64_t v) { return std::to_string(v); };
    const Sample &l = s.last;
    add("stream", s.stream);
    add("mode", s.mode);
    add("buffers",
        format("%u x %llu bytes", s.buffers, static_cast<unsigned long long>(s.buffer_size)));
    add("time", format("%.2f s", l.seconds));
    add("frames delivered", count(l.delivered));
    add("frames incomplete", count(l.incomplete));
    add("frames dropped", count(l.dropped));
    add("frames lost by cause", loss_text(s.losses));
    add("resend requests", count(l.resend_requests));
    add("frame rate", format("%.1f frames/s", rate(static_cast<double>(l.delivered), l.seconds)));
    add("throughput", format("%.3f Gbit/s", gbit(l.bytes, l.seconds)));
    add("CPU", format("%.0f%%", cpu_percent(l)));
    if (s.demo) {
        const DemoCheck &d = *s.demo;
        add("frames sent", count(d.frames_sent));
        add("frames intact", count(d.frames_intact));
        add("frames corrupt", count(d.frames_corrupt));
        add("frames lost", count(d.frames_lost));
        add("packets lost on the wire", count(d.packets_withheld));
        add("packets resent", count(d.packets_resent));
    }
    for (const std::string &path : s.saved) add("saved", path);
    if (!s.save_error.empty()) add("saving stopped", s.save_error);

    size_t width = 0;
    for (const auto &row : rows) width = std::max(width, row.first.size());
    std::string text;
    for (const auto &[name, value] : rows) {
        text += "  " + name + std::string(width - name.size() + 2, ' ') + value + "\n";
    }
    return text;
}

std::string summary_json(const Summary &s) {
    const Sample &l = s.last;
    nlohmann::ordered_json j;
    j["stream"] = s.stream;
    j["mode"] = s.mode;
    j["buffers"] = s.buffers;
    j["buffer_size"] = s.buffer_size;
    j["seconds"] = l.seconds;
    j["frames_delivered"] = l.delivered;
    j["frames_incomplete"] = l.incomplete;
    j["frames_dropped"] = l.dropped;
    j["resend_requests"] = l.resend_requests;
    j["bytes"] = l.bytes;
    j["frames_per_second"] = rate(static_cast<double>(l.delivered), l.seconds);
    j["gbit_per_second"] = gbit(l.bytes, l.seconds);
    j["cpu_percent"] = cpu_percent(l);
    nlohmann::ordered_json stats;
    for (const auto &[name, value] : stats_fields(s.stats)) stats[name] = value;
    j["stats"] = stats;
    nlohmann::ordered_json losses;
    for (const auto &[name, value] : loss_fields(s.losses)) losses[name] = value;
    j["frames_lost_by_cause"] = losses;
    if (s.demo) {
        const DemoCheck &d = *s.demo;
        j["frames_sent"] = d.frames_sent;
        j["frames_intact"] = d.frames_intact;
        j["frames_corrupt"] = d.frames_corrupt;
        j["frames_lost"] = d.frames_lost;
        j["packets_lost_on_the_wire"] = d.packets_withheld;
        j["packets_resent"] = d.packets_resent;
    }
    j["saved"] = s.saved;
    if (!s.save_error.empty()) j["save_error"] = s.save_error;
    return j.dump();
}

}  // namespace qel::recv_tool
