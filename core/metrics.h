#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace skirmish {

// Counts of observations at or below each bound, as Prometheus histograms keep them.
class Histogram {
public:
    explicit Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size(), 0) {}
    void observe(double value);
    const std::vector<double>& bounds() const { return bounds_; }
    const std::vector<uint64_t>& counts() const { return counts_; } // cumulative
    uint64_t count() const { return count_; }
    double sum() const { return sum_; }

private:
    std::vector<double> bounds_;
    std::vector<uint64_t> counts_;
    uint64_t count_ = 0;
    double sum_ = 0;
};

// A page in the Prometheus text format, family by family. Labels are written as
// given ("transport=\"enet\""); every family's samples follow its HELP and TYPE.
class MetricsText {
public:
    void family(std::string_view name, std::string_view type, std::string_view help);
    void sample(std::string_view name, double value, std::string_view labels = {});
    void histogram(std::string_view name, std::string_view help, const Histogram& histogram);
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

} // namespace skirmish
