#include "files/staged_set.hpp"

#include "files/stop_signals.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace korvane {

namespace {

const char kPrefix[] = ".korvane-stage-";
const char kOld[] = ".old-";  // in the staging folder: a replaced file, until the set is in place

bool isDir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool bareName(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string why(int err) {
    return std::strerror(err);
}

// Flushes a file's bytes to the disk.
bool syncPath(const std::string &path, int flags) {
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool sameBytes(const std::string &a, const std::string &b) {
    int fa = open(a.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int fb = open(b.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat sa, sb;
    bool same = fa >= 0 && fb >= 0 && fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0 && S_ISREG(sa.st_mode) &&
                S_ISREG(sb.st_mode) && sa.st_size == sb.st_size;
    std::vector<char> bufA(65536), bufB(65536);
    char *ba = bufA.data(), *bb = bufB.data();
    while (same) {
        ssize_t na = read(fa, ba, bufA.size());
        if (na <= 0) {
            same = na == 0;
            break;
        }
        ssize_t got = 0;
        while (got < na) {
            ssize_t nb = read(fb, bb + got, static_cast<size_t>(na - got));
            if (nb <= 0) break;
            got += nb;
        }
        same = got == na && std::memcmp(ba, bb, static_cast<size_t>(na)) == 0;
    }
    if (fa >= 0) close(fa);
    if (fb >= 0) close(fb);
    return same;
}

}  // namespace

const char *StagedSet::stagingPrefix() {
    return kPrefix;
}

StagedSet::StagedSet(std::string dir, Policy policy) : dir_(std::move(dir)), policy_(policy) {
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    if (dir_.empty()) dir_ = ".";
}

StagedSet::~StagedSet() {
    discard();
}

std::string StagedSet::finalPath(const std::string &name) const {
    return dir_ + "/" + name;
}

bool StagedSet::prepare(std::string &err) {
    if (!staging_.empty()) return true;
    StopBlock block;  // nothing made here is left untracked by a signal
    struct stat st;
    if (!isDir(dir_)) {
        if (policy_ == Policy::Named) {  // a file named in a folder that is not there
            err = "cannot write in '" + dir_ + "': " + why(errno = ENOENT);
            return false;
        }
        if (stat(dir_.c_str(), &st) == 0) {
            err = "'" + dir_ + "' exists and is not a folder";
            return false;
        }
        // Parents are made as needed; only the innermost is ours to remove.
        for (size_t pos = dir_.find('/', 1); pos != std::string::npos; pos = dir_.find('/', pos + 1)) {
            std::string part = dir_.substr(0, pos);
            if (!isDir(part) && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
                err = "cannot make folder '" + part + "': " + why(errno);
                return false;
            }
        }
        if (mkdir(dir_.c_str(), 0777) != 0) {
            err = "cannot make folder '" + dir_ + "': " + why(errno);
            return false;
        }
        madeDir_ = true;
        dirSlot_ = trackStaged(dir_, StagedKind::Folder);
    }
    std::string tmpl = dir_ + "/" + kPrefix + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        err = "cannot write in '" + dir_ + "': " + why(errno);
        discard();
        return false;
    }
    staging_ = tmpl;
    stagingSlot_ = trackStaged(staging_, StagedKind::Folder);
    return true;
}

int StagedSet::stageOpen(const std::string &name, std::string &err) {
    const std::string shown = finalPath(name);
    if (staging_.empty() || !bareName(name)) {
        err = "cannot write '" + shown + "': " + (staging_.empty() ? "no staging folder" : "not a plain file name");
        return -1;
    }
    StopBlock block;
    std::string path = staging_ + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        err = "cannot write '" + shown + "': " + why(errno);
        return -1;
    }
    struct stat old;
    if (policy_ == Policy::Named && stat(shown.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);  // the file keeps its mode
    staged_.push_back({name, path, trackStaged(path, StagedKind::File)});
    return fd;
}

std::string StagedSet::stage(const std::string &name) {
    std::string err;
    int fd = stageOpen(name, err);
    if (fd < 0) {
        if (stageErr_.empty()) stageErr_ = err;
        return staging_.empty() || !bareName(name) ? std::string("/nonexistent/") + name : staging_ + "/" + name;
    }
    close(fd);
    return staging_ + "/" + name;
}

void StagedSet::setRecord(const std::string &name, std::function<bool(const std::string &)> ownsName) {
    record_ = name;
    ownsName_ = std::move(ownsName);
}

void StagedSet::protect(dev_t dev, ino_t ino) {
    protected_.emplace_back(dev, ino);
}

bool StagedSet::isProtected(const std::string &path) const {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    return std::find(protected_.begin(), protected_.end(), std::make_pair(st.st_dev, st.st_ino)) != protected_.end();
}

std::vector<FileStamp> StagedSet::stamps() const {
    std::vector<FileStamp> out;
    for (const Staged &s : staged_) {
        FileStamp st;
        st.name = s.name;
        if (s.name != record_ && stampFile(s.path, st)) out.push_back(st);
    }
    return out;
}

std::string StagedSet::shownPath(const std::string &path) {
    size_t at = path.find(std::string("/") + kPrefix);
    size_t start =
        at == std::string::npos ? (path.compare(0, sizeof kPrefix - 1, kPrefix) == 0 ? 0 : path.npos) : at + 1;
    if (start == std::string::npos) return path;
    size_t end = path.find('/', start);
    if (end == std::string::npos) return path;
    return path.substr(0, start) + path.substr(end + 1);
}

bool StagedSet::checkTarget(const Staged &s, const std::vector<FileStamp> &trusted, bool recordOurs,
                            std::string &err) const {
    const std::string target = finalPath(s.name);
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) return true;
    if (isProtected(target)) {
        err = "'" + target + "' is the input of this run and is not replaced; choose another folder with -o";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        err = "'" + target + "' is in the way: it is not a regular file";
        return false;
    }
    if (policy_ == Policy::Named || (s.name == record_ && recordOurs)) return true;
    FileStamp now;
    if (stampFile(target, now))
        for (const FileStamp &t : trusted)
            if (t.name == s.name && sameStamp(t, now)) return true;
    if (sameBytes(target, s.path)) return true;
    err = "'" + target +
          "' is in the way: korvane did not write it, or it changed since; move it away or choose another folder "
          "with -o";
    return false;
}

bool StagedSet::swapIn(std::string &err) {
    std::vector<const Staged *> order;
    for (const Staged &s : staged_)
        if (s.name != record_) order.push_back(&s);
    for (const Staged &s : staged_)
        if (s.name == record_) order.push_back(&s);
    struct Done {
        const Staged *s;
        bool hadOld;
    };
    std::vector<Done> done;
    for (const Staged *s : order) {
        const std::string target = finalPath(s->name), backup = staging_ + "/" + kOld + s->name;
        struct stat st;
        const bool hadOld = lstat(target.c_str(), &st) == 0;
        int failed = 0;
        if (hadOld && rename(target.c_str(), backup.c_str()) != 0) {
            failed = errno;
        } else if (rename(s->path.c_str(), target.c_str()) != 0) {
            failed = errno;
            if (hadOld) rename(backup.c_str(), target.c_str());
        }
        if (failed) {
            err = "cannot write '" + target + "': " + why(failed);
            // back as it was: the new files into staging, the old ones into place
            for (auto d = done.rbegin(); d != done.rend(); ++d) {
                const std::string t = finalPath(d->s->name);
                rename(t.c_str(), d->s->path.c_str());
                if (d->hadOld) rename((staging_ + "/" + kOld + d->s->name).c_str(), t.c_str());
            }
            errno = failed;
            return false;
        }
        done.push_back({s, hadOld});
    }
    return true;
}

void StagedSet::removeStale(const std::vector<FileStamp> &previous) {
    for (const FileStamp &p : previous) {
        if (!bareName(p.name) || p.name == record_ || (ownsName_ && !ownsName_(p.name))) continue;
        if (std::any_of(staged_.begin(), staged_.end(), [&](const Staged &s) { return s.name == p.name; })) continue;
        const std::string path = finalPath(p.name);
        FileStamp now;
        if (stampFile(path, now) && sameStamp(now, p) && !isProtected(path)) unlink(path.c_str());
    }
}

void StagedSet::flushAhead() {
    joinAhead();
    std::vector<std::string> paths;
    for (const Staged &s : staged_) paths.push_back(s.path);
    StopBlock block;  // the thread inherits the mask: stops are served elsewhere
    try {
        ahead_ = std::thread([paths = std::move(paths)] {
            for (const std::string &p : paths) syncPath(p, O_RDONLY | O_NOFOLLOW);
        });
    } catch (const std::system_error &) {
        // no thread: commit flushes them itself
    }
}

void StagedSet::joinAhead() {
    if (ahead_.joinable()) ahead_.join();
}

bool StagedSet::commit(std::string &err) {
    joinAhead();
    if (!stageErr_.empty()) {
        err = stageErr_;
        discardKeepingErrno();
        return false;
    }
    StopBlock block;  // a stop signal waits until the set is in place or gone
    for (const Staged &s : staged_)
        if (!syncPath(s.path, O_RDONLY | O_NOFOLLOW)) {
            err = "cannot write '" + finalPath(s.name) + "': " + why(errno);
            discardKeepingErrno();
            return false;
        }
    std::vector<FileStamp> trusted, previous;
    bool recordOurs = false;
    for (const char *rec : kRecordNames) {
        std::vector<FileStamp> listed;
        if (readToolRecord(finalPath(rec), listed) != RecordKind::Ours) continue;
        trusted.insert(trusted.end(), listed.begin(), listed.end());
        if (record_ == rec) previous = listed, recordOurs = true;
    }
    for (const Staged &s : staged_)
        if (!checkTarget(s, trusted, recordOurs, err)) {
            discardKeepingErrno();
            return false;
        }
    if (!swapIn(err)) {
        discardKeepingErrno();
        return false;
    }
    syncPath(dir_, O_RDONLY | O_DIRECTORY);  // the renames themselves
    if (recordOurs) removeStale(previous);
    for (Staged &s : staged_) {
        unlink((staging_ + "/" + kOld + s.name).c_str());
        releaseStaged(s.slot);
    }
    staged_.clear();
    madeDir_ = false;  // it now holds results
    releaseStaged(dirSlot_);
    dirSlot_ = -1;
    dropStaging();
    return true;
}

void StagedSet::dropStaging() {
    for (Staged &s : staged_) {
        unlink(s.path.c_str());
        unlink((staging_ + "/" + kOld + s.name).c_str());
        releaseStaged(s.slot);
    }
    staged_.clear();
    if (!staging_.empty()) rmdir(staging_.c_str());
    releaseStaged(stagingSlot_);
    stagingSlot_ = -1;
    staging_.clear();
}

void StagedSet::discardKeepingErrno() {
    int saved = errno;
    discard();
    errno = saved;
}

void StagedSet::discard() {
    joinAhead();
    StopBlock block;
    dropStaging();
    if (madeDir_) rmdir(dir_.c_str());
    releaseStaged(dirSlot_);
    dirSlot_ = -1;
    madeDir_ = false;
}

void StagedSet::removeLeftovers(const std::string &dir, pid_t pid) {
    const std::string mine = std::string(kPrefix) + std::to_string(pid) + "-";
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> found;
    while (dirent *e = readdir(d))
        if (std::strncmp(e->d_name, mine.c_str(), mine.size()) == 0) found.push_back(dir + "/" + e->d_name);
    closedir(d);
    for (const std::string &folder : found) {
        struct stat st;
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (DIR *f = opendir(folder.c_str())) {
            std::vector<std::string> files;
            while (dirent *e = readdir(f))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) files.push_back(e->d_name);
            closedir(f);
            for (const std::string &name : files) unlink((folder + "/" + name).c_str());
        }
        rmdir(folder.c_str());
    }
}

}  // namespace korvane
