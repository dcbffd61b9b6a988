#include "core/metrics.h"

#include <algorithm>
#include <charconv>

namespace skirmish {
namespace {

std::string Number(double value)
{
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace

void Histogram::observe(double value)
{
    for (size_t i = 0; i < bounds_.size(); ++i)
        counts_[i] += value <= bounds_[i];
    ++count_;
    sum_ += value;
}

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help)
{
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::sample(std::string_view name, double value, std::string_view labels)
{
    text_.append(name);
    if (!labels.empty())
        text_.append("{").append(labels).append("}");
    text_.append(" ").append(Number(value)).append("\n");
}

void MetricsText::histogram(std::string_view name, std::string_view help, const Histogram& histogram)
{
    family(name, "histogram", help);
    std::string bucket = std::string(name) + "_bucket";
    for (size_t i = 0; i < histogram.bounds().size(); ++i)
        sample(bucket, static_cast<double>(histogram.counts()[i]), "le=\"" + Number(histogram.bounds()[i]) + "\"");
    sample(bucket, static_cast<double>(histogram.count()), "le=\"+Inf\"");
    sample(std::string(name) + "_sum", histogram.sum());
    sample(std::string(name) + "_count", static_cast<double>(histogram.count()));
}

} // namespace skirmish
