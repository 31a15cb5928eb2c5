#include "TOptionTable.h"

std::string Wrap(const std::string& text, std::size_t indent, std::size_t width) {
    std::string result;
    std::string line(indent, ' ');
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (line.size() > indent && line.size() + 1 + word.size() > width) {
            result += line + '\n';
            line.assign(indent, ' ');
        }
        if (line.size() > indent)
            line += ' ';
        line += word;
        start = end + 1;
    }
    return result + line + '\n';
}
