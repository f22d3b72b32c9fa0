#include "addon/prometheus_text.h"

#include <cinttypes>
#include <cstdio>

namespace qel::addon {

std::string escape_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string escape_help(std::string_view help) {
    std::string out;
    out.reserve(help.size());
    for (char c : help) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void PrometheusText::family(std::string_view name, std::string_view type, std::string_view help) {
    family_ = name;
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += escape_help(help);
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
}

void PrometheusText::sample_head(const Labels &labels) {
    text_ += family_;
    if (!labels.empty()) {
        text_ += '{';
        bool first = true;
        for (const auto &[name, value] : labels) {
            if (!first) text_ += ',';
            first = false;
            text_ += name;
            text_ += "=\"";
            text_ += escape_label_value(value);
            text_ += '"';
        }
        text_ += '}';
    }
    text_ += ' ';
}

void PrometheusText::sample(const Labels &labels, uint64_t value) {
    sample_head(labels);
    char number[24];
    std::snprintf(number, sizeof number, "%" PRIu64 "\n", value);
    text_ += number;
}

void PrometheusText::sample(const Labels &labels, double value) {
    sample_head(labels);
    char number[48];
    std::snprintf(number, sizeof number, "%.17g\n", value);
    text_ += number;
}

}  // namespace qel::addon
