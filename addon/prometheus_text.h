// The Prometheus text exposition format: metric families, each with its help and type lines
// followed by its samples.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::addon {

using Labels = std::vector<std::pair<std::string_view, std::string>>;

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string escape_label_value(std::string_view value);
// Help text as the format wants it: backslash and line feed escaped.
std::string escape_help(std::string_view help);

class PrometheusText {
public:
    // Opens a family; its samples follow until the next family. `type` is "counter" or
    // "gauge". A family is opened once per text.
    void family(std::string_view name, std::string_view type, std::string_view help);
    // A sample of the open family.
    void sample(const Labels &labels, uint64_t value);
    void sample(const Labels &labels, double value);

    const std::string &text() const { return text_; }

private:
    void sample_head(const Labels &labels);

    std::string text_;
    std::string family_;
};

}  // namespace qel::addon
