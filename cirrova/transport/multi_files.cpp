// The engine's files: temporary files created beside their targets, checked
// and renamed into place only when complete; digests of file ranges.
#include "multi_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "common/crypto.h"

namespace cirrova::transport::multi::detail {

// A temporary file beside `path`: "." name "." 12 hex digits ".part", the
// name shortened (at a character boundary) so that the whole fits NAME_MAX.
int open_temp(const std::string& path, std::string& temp, int& err) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    constexpr size_t kExtra = 1 + 1 + 12 + 5;
    size_t room = 255 - kExtra;
    if (name.size() > room) {
        size_t n = room;
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
        name.resize(n);
    }
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    for (int tries = 0; tries < 100; ++tries) {
        char hex[13];
        std::snprintf(hex, sizeof hex, "%012llx", (unsigned long long)(rng() & 0xFFFFFFFFFFFFULL));
        temp = dir + "." + name + "." + hex + ".part";
        int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno == EEXIST) continue;
        if (errno == ENOENT && !dir.empty()) {  // the directory, created as os.makedirs would
            std::string partial;
            for (size_t i = 0; i < dir.size(); ++i) {
                partial += dir[i];
                if ((dir[i] == '/' && i > 0) || i + 1 == dir.size())
                    if (::mkdir(partial.c_str(), 0777) < 0 && errno != EEXIST) {
                        err = errno;
                        temp = partial;
                        return -1;
                    }
            }
            fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) return fd;
            if (errno == EEXIST) continue;
        }
        err = errno;
        return -1;
    }
    err = EEXIST;
    return -1;
}

long long md5_update_file(crypto::Md5& md5, int fd, long long start, long long length, int& err) {
    std::vector<char> buf(size_t(std::min<long long>(std::max<long long>(length, 1), 1 << 20)));
    long long done = 0;
    while (done < length) {
        ssize_t got = ::pread(fd, buf.data(), size_t(std::min<long long>(length - done, (long long)buf.size())),
                              off_t(start + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            err = errno;
            return -1;
        }
        if (got == 0) break;
        md5.update({buf.data(), size_t(got)});
        done += got;
    }
    return done;
}

bool md5_of_file(int fd, long long start, long long length, std::string& raw, int& err) {
    crypto::Md5 md5;
    if (md5_update_file(md5, fd, start, length, err) < 0) return false;
    raw = std::string(md5.finish().view());
    return true;
}

bool write_all(int fd, std::string_view data, long long at, int& err) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::pwrite(fd, data.data() + done, data.size() - done, off_t(at + (long long)done));
        if (w < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        done += size_t(w);
    }
    return true;
}

void Object::discard() {
    if (src >= 0) ::close(src);
    src = -1;
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (!temp.empty()) ::unlink(temp.c_str());
    temp.clear();
}

// Whether the temporary file holds the content whose MD5 is known (read back once, all writes done).
void Object::digest_upto(long long end) {
    if (md5.empty() || digest_err || end <= digested) return;
    if (!digest) digest = std::make_unique<crypto::Md5>();
    long long got = md5_update_file(*digest, fd, digested, end - digested, digest_err);
    if (got >= 0) digested += got;
}

bool Object::verify(ItemError& error) {
    if (md5.empty()) return true;
    digest_upto(std::numeric_limits<long long>::max());
    if (digest_err) {
        error = ItemError{};
        error.kind = "os";
        error.err = digest_err;
        error.text = temp;
        return false;
    }
    std::string got = crypto::hex(digest->finish().view());
    if (got == md5) return true;
    error = ItemError{};
    error.kind = "md5";
    error.what = "下载 " + item->key;
    error.text = got;
    error.header = md5;
    return false;
}

bool Object::commit(ItemError& error) {
    if (!verify(error)) {
        discard();
        return false;
    }
    int fd_ = fd;
    fd = -1;
    if (::close(fd_) < 0 || ::rename(temp.c_str(), item->path.c_str()) < 0) {
        error = ItemError{};
        error.kind = "os";
        error.err = errno;
        error.text = temp;
        ::unlink(temp.c_str());
        temp.clear();
        return false;
    }
    temp.clear();
    return true;
}

bool open_object(Object& o, Item& item) {
    int err = 0;
    o.fd = open_temp(item.path, o.temp, err);
    if (o.fd >= 0) return true;
    item.error = ItemError{};
    item.error.kind = "os";
    item.error.err = err;
    item.error.text = o.temp;
    o.temp.clear();
    return false;
}

}  // namespace cirrova::transport::multi::detail
