#include "TTempConfig.h"

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

bool TTempConfig::MakeFifo() const {
    if (::mkfifo(FPath.c_str(), 0644) != 0)
        throw std::system_error(errno, std::generic_category(), "mkfifo " + FPath);
    return true;
}
