#include "batch/batch_inputs.hpp"

#include "files/sound_check.hpp"
#include "files/tool_record.hpp"

#include <sndfile.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <sys/stat.h>

namespace korvane {

namespace fs = std::filesystem;

namespace {

bool isHidden(const fs::path &p) {
    const std::string n = p.filename().string();
    return !n.empty() && n[0] == '.';
}

std::string withoutTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// The name a folder input keeps in the output: its own, or for "." and
// the like the real folder's.
std::string folderName(const std::string &given) {
    std::string name = fs::path(withoutTrailingSlashes(given)).filename().string();
    if (name.empty() || name == "." || name == "..") {
        std::error_code ec;
        name = fs::canonical(given, ec).filename().string();
    }
    return name.empty() || name == "/" ? std::string("root") : name;
}

// Subfolders: unique, and none lies inside another one's folder.
class FolderNames {
public:
    std::string claim(const std::string &want) {
        std::string name = want;
        for (int n = 2; clashes(name); ++n) name = want + "-" + std::to_string(n);
        used_.insert(name);
        for (size_t s = name.find('/'); s != std::string::npos; s = name.find('/', s + 1))
            parents_.insert(name.substr(0, s));
        return name;
    }

private:
    bool clashes(const std::string &name) const {
        if (used_.count(name) || parents_.count(name)) return true;
        for (size_t s = name.find('/'); s != std::string::npos; s = name.find('/', s + 1))
            if (used_.count(name.substr(0, s))) return true;
        return false;
    }
    std::set<std::string> used_, parents_;
};

// A folder an earlier run wrote into: one holding a record of this tool
// (an older record without its mark is known by its fields).
bool holdsRunRecord(const fs::path &dir) {
    for (const char *name : kRecordNames) {
        nlohmann::ordered_json j;
        std::string err;
        const std::string path = (dir / name).string();
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (!readJsonObject(path, j, err)) continue;
        if ((j.contains("generator") && j["generator"] == kGenerator) ||
            (j.contains("version") && j.contains("components") && j.contains("files")))
            return true;
    }
    return false;
}

// Regular files under dir (links to files followed, to folders not); the
// output folder and folders holding a run's record are left out.
void searchFolder(const fs::path &dir, const fs::path &skip, std::vector<fs::path> &files,
                  std::vector<BatchFailure> &failures) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry &e = *it;
        std::error_code statEc;
        if (isHidden(e.path())) continue;
        if (e.is_directory(statEc) && !e.is_symlink(statEc)) {
            if (!skip.empty() && fs::equivalent(e.path(), skip, statEc)) continue;
            if (holdsRunRecord(e.path())) continue;
            searchFolder(e.path(), skip, files, failures);
        } else if (e.is_regular_file(statEc)) {
            files.push_back(e.path());
        }
    }
    if (ec) failures.push_back({dir.string(), "cannot search the folder: " + ec.message()});
}

struct Planner {
    BatchPlan plan;
    FolderNames names;
    std::set<std::string> seen;  // real paths of the files taken
    std::string root;

    void add(const fs::path &file, const std::string &subfolder) {
        std::error_code ec;
        fs::path real = fs::canonical(file, ec);
        if (!seen.insert(ec ? file.string() : real.string()).second) return;
        plan.jobs.push_back({file.string(), root + "/" + names.claim(subfolder)});
    }

    void addFolder(const std::string &given, const fs::path &skip) {
        std::vector<fs::path> files;
        const fs::path top(withoutTrailingSlashes(given));
        searchFolder(top, skip, files, plan.failures);
        std::sort(files.begin(), files.end());
        const std::string name = folderName(given);
        const size_t failuresBefore = plan.failures.size();
        int sounds = 0;
        for (const fs::path &f : files) {
            if (!readsAsSound(f.string())) {
                if (looksLikeSound(f.string()))
                    plan.failures.push_back({f.string(), "cannot be read as a sound: " + soundOpenError(f.string())});
                else
                    ++plan.skipped;
                continue;
            }
            ++sounds;
            fs::path rel = f.lexically_relative(top).parent_path();
            add(f, (fs::path(name) / rel / subfolderName(f.filename().string())).lexically_normal().string());
        }
        if (sounds == 0 && plan.failures.size() == failuresBefore)
            plan.failures.push_back({given, "holds no sound file libsndfile reads"});
    }
};

}  // namespace

std::string subfolderName(const std::string &fileName) {
    std::string name = fileName;
    size_t start = name.find_first_not_of('.');
    name = start == std::string::npos ? std::string() : name.substr(start);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name[dot] = '-';
    return name.empty() ? std::string("sound") : name;
}

std::string soundOpenError(const std::string &path) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return sf_strerror(nullptr);
    sf_close(f);
    return info.channels > 0 ? std::string() : std::string("it holds no channel");
}

bool readsAsSound(const std::string &path) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return false;
    sf_close(f);
    return info.channels > 0;
}

BatchPlan planBatch(const std::vector<std::string> &inputs, const std::string &outRoot) {
    Planner p;
    p.root = withoutTrailingSlashes(outRoot.empty() ? std::string(".") : outRoot);
    std::error_code ec;
    fs::path skip = fs::weakly_canonical(p.root, ec);
    if (ec) skip.clear();
    for (const std::string &in : inputs) {
        if (fs::is_directory(in, ec)) {
            p.addFolder(in, skip);
        } else {
            p.add(in, subfolderName(fs::path(in).filename().string()));
        }
    }
    return p.plan;
}

}  // namespace korvane
