#include "ListSerialPorts.h"

#include <algorithm>

void SortPortNames(std::vector<std::string>& names) {
    // Stable only so that runs are reproducible; equal names have no order.
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return ComparePortNames(a, b) < 0;
    });
}

void ListSerialPorts(std::vector<std::string>& Target, TSerialPortSource& source) {
    std::vector<std::string> names;
    while (std::optional<std::string> name = source.Next())
        names.push_back(std::move(*name));
    SortPortNames(names);
    Target = std::move(names);
}

void ListSerialPorts(std::vector<std::string>& Target) {
    const std::unique_ptr<TSerialPortSource> source = CreateSystemPortSource();
    ListSerialPorts(Target, *source);
}
