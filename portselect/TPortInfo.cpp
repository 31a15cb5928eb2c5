#include "TPortInfo.h"

std::vector<std::string> PortDetails(const TPortInfo& info) {
    std::vector<std::string> details;
    if (!info.VendorId.empty() || !info.ProductId.empty()) {
        std::string usb = "USB " + info.VendorId + ":" + info.ProductId;
        if (!info.Manufacturer.empty())
            usb += " " + info.Manufacturer;
        if (!info.Product.empty())
            usb += " " + info.Product;
        details.push_back(std::move(usb));
    }
    if (!info.SerialNumber.empty())
        details.push_back("serial " + info.SerialNumber);
    if (!info.Driver.empty())
        details.push_back("driver " + info.Driver);
    if (!info.ById.empty())
        details.push_back(info.ById);
    return details;
}

std::string PortDescriptionLine(const TPortInfo& info) {
    std::string line = info.Name;
    for (const std::string& detail : PortDetails(info))
        line += "  " + detail;
    return line;
}

std::string PortDescriptionLine(const std::string& name) {
    return PortDescriptionLine(DescribePort(name));
}
