#include "sys_io.h"

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "norvane/clock.h"

namespace norvane_cli {

std::optional<norvane::Bytes> read_stdin(std::size_t limit) {
    constexpr std::size_t kChunk = 4096;
    const std::size_t cap = limit + 1;
    norvane::Bytes data;
    data.reserve(cap);  // one buffer: nothing is copied into a block that is freed unwiped
    while (data.size() < cap) {
        const std::size_t have = data.size();
        const std::size_t want = std::min(kChunk, cap - have);
        data.resize(have + want);
        const ssize_t n = ::read(STDIN_FILENO, data.data() + have, want);
        if (n < 0 && errno == EINTR) {
            data.resize(have);
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        data.resize(have + static_cast<std::size_t>(n));
        if (n == 0) {
            break;
        }
    }
    return data;
}

bool write_all(int fd, norvane::ByteView bytes) noexcept {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, std::string_view bytes) noexcept {
    return write_all(fd, norvane::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

bool fill_os_random(std::span<std::uint8_t> buf) noexcept {
    std::size_t done = 0;
    while (done < buf.size()) {
        // The system call itself: older C libraries' headers declare no getrandom().
        const long n = ::syscall(SYS_getrandom, buf.data() + done, buf.size() - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool names_a_file(const std::string& path) noexcept {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::optional<std::uint64_t> unix_now() noexcept {
    const std::optional<norvane::RealTime> now = norvane::real_time();
    if (!now || now->seconds < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(now->seconds);
}

}  // namespace norvane_cli
