#include "platform/debug_file.h"

#include "platform/paths.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace voxa {

bool AppendDebugText(std::string_view path, std::string_view text) {
    std::string file = DrivePath(path);
    UniqueFd fd(open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd.Get(), text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace voxa
