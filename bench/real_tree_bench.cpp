// tarvo-zip against Info-ZIP on a real tree: this machine's /usr/include (thousands of small
// headers) and a few large shared libraries, copied once into a temporary folder. Three jobs,
// each timed as the median of several pairs in which ours and the peer alternate on the same data:
//   backup      tarvo-zip add --level 6 (with its test)   against  zip -r -6, then unzip -t
//   extraction  tarvo-zip extract into an empty folder    against  unzip -o into an empty folder
//   test        tarvo-zip test                            against  unzip -t
// Extraction and test read the archive Info-ZIP made, so both sides decode the same bytes.
// Wall, user and system time come from the children's own resource usage (each run starts after a
// sync, so that no run pays for the writes of the one before); the last lines are a Markdown
// table for the README.
//
//   real_tree_bench [--pairs N] [--dir FOLDER] [--keep]
// In a FOLDER given, the entries corpus, out, ours.zip and peer.zip are the bench's own.
// Defaults: 5 pairs, a fresh folder under the temporary folder; what the bench made is removed
// afterwards unless --keep is given.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Times {
  double wall = 0, user = 0, sys = 0;
  Times& operator+=(const Times& o) {
    wall += o.wall;
    user += o.user;
    sys += o.sys;
    return *this;
  }
};

double TimevalSeconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

// Runs argv in folder cwd with its output discarded; exits the bench when the command fails, as
// a figure of a failed run would mean nothing.
Times Run(const std::vector<std::string>& argv, const std::string& cwd = "") {
  // Writes still pending from the run before are not charged to this one.
  sync();
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null) {
      dup2(fileno(null), 1);
      dup2(fileno(null), 2);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string line;
    for (const auto& a : argv) line += a + " ";
    std::fprintf(stderr, "real_tree_bench: failed (status %d): %s\n", status, line.c_str());
    std::exit(2);
  }
  Times t;
  t.wall = std::chrono::duration<double>(Clock::now() - t0).count();
  t.user = TimevalSeconds(usage.ru_utime);
  t.sys = TimevalSeconds(usage.ru_stime);
  return t;
}

uint64_t CopyTree(const stdfs::path& from, const stdfs::path& to, size_t& files) {
  uint64_t bytes = 0;
  std::error_code ec;
  auto options = stdfs::directory_options::skip_permission_denied;
  for (auto it = stdfs::recursive_directory_iterator(from, options, ec);
       it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    // Symbolic links are left out: the tools store them differently.
    if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    stdfs::path target = to / stdfs::relative(it->path(), from);
    stdfs::create_directories(target.parent_path());
    if (!stdfs::copy_file(it->path(), target, ec)) continue;
    bytes += it->file_size(ec);
    ++files;
  }
  return bytes;
}

// /usr/include plus the largest of a few well-known large libraries, up to about 300 MB.
uint64_t MakeCorpus(const std::string& dir, size_t& files) {
  files = 0;
  uint64_t total = CopyTree("/usr/include", dir + "/include", files);
  std::vector<stdfs::path> libs;
  std::error_code ec;
  for (const auto& e : stdfs::directory_iterator("/usr/lib/x86_64-linux-gnu", ec)) {
    const std::string name = e.path().filename().string();
    bool wanted = name.rfind("libLLVM", 0) == 0 || name.rfind("libicudata", 0) == 0 ||
                  name.rfind("libstdc++", 0) == 0 || name.rfind("libclang", 0) == 0 ||
                  name.rfind("libz3", 0) == 0;
    if (wanted && !e.is_symlink(ec) && e.is_regular_file(ec) && name.find(".so") != name.npos)
      libs.push_back(e.path());
  }
  std::sort(libs.begin(), libs.end(), [](const stdfs::path& a, const stdfs::path& b) {
    return stdfs::file_size(a) > stdfs::file_size(b);
  });
  stdfs::create_directories(dir + "/lib");
  for (const auto& lib : libs) {
    uint64_t size = stdfs::file_size(lib, ec);
    if (total + size > (300ull << 20)) continue;
    if (!stdfs::copy_file(lib, dir + "/lib/" + lib.filename().string(), ec)) continue;
    total += size;
    ++files;
  }
  return total;
}

void Reset(const std::string& path) {
  stdfs::remove_all(path);
  stdfs::create_directories(path);
}

Times Median(std::vector<Times> v) {
  auto mid = [&](auto key) {
    std::sort(v.begin(), v.end(), [&](const Times& a, const Times& b) { return key(a) < key(b); });
    return key(v[v.size() / 2]);
  };
  Times m;
  m.wall = mid([](const Times& t) { return t.wall; });
  m.user = mid([](const Times& t) { return t.user; });
  m.sys = mid([](const Times& t) { return t.sys; });
  return m;
}

struct Row {
  std::string job, ours_cmd, peer_cmd;
  Times ours, peer;
};

}  // namespace

int main(int argc, char** argv) {
  int pairs = 5;
  std::string dir;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--pairs") && i + 1 < argc) {
      pairs = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) {
      dir = argv[++i];
    } else if (!std::strcmp(argv[i], "--keep")) {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: real_tree_bench [--pairs N] [--dir FOLDER] [--keep]\n");
      return 2;
    }
  }
  const bool made_dir = dir.empty();
  if (made_dir) {
    std::string pattern = (stdfs::temp_directory_path() / "tarvo_real_tree_XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      return 2;
    }
    dir = pattern;
  }
  const std::string tarvo_zip = TARVO_ZIP_PATH;
  const std::string corpus = dir + "/corpus", ours_zip = dir + "/ours.zip",
                    peer_zip = dir + "/peer.zip", out = dir + "/out";
  size_t files = 0;
  Reset(corpus);
  uint64_t bytes = MakeCorpus(corpus, files);
  std::printf("corpus: %zu files, %.1f MB in %s\n", files, bytes / 1e6, corpus.c_str());

  Row backup{"backup", "tarvo-zip add --level 6 (with its test)", "zip -r -6 + unzip -t", {}, {}};
  Row extract{"extraction", "tarvo-zip extract", "unzip -o", {}, {}};
  Row test{"test", "tarvo-zip test", "unzip -t", {}, {}};
  std::vector<Times> v[6];
  for (int i = 0; i < pairs; ++i) {
    stdfs::remove(ours_zip);
    v[0].push_back(Run({tarvo_zip, "add", ours_zip, corpus, "*.*", "--level", "6"}));
    stdfs::remove(peer_zip);
    Times t = Run({"zip", "-q", "-r", "-6", peer_zip, "."}, corpus);
    t += Run({"unzip", "-tqq", peer_zip});
    v[1].push_back(t);
  }
  for (int i = 0; i < pairs; ++i) {
    Reset(out);
    v[2].push_back(Run({tarvo_zip, "extract", peer_zip, out}));
    Reset(out);
    v[3].push_back(Run({"unzip", "-qo", peer_zip, "-d", out}));
  }
  stdfs::remove_all(out);
  for (int i = 0; i < pairs; ++i) {
    v[4].push_back(Run({tarvo_zip, "test", peer_zip}));
    v[5].push_back(Run({"unzip", "-tqq", peer_zip}));
  }
  backup.ours = Median(v[0]);
  backup.peer = Median(v[1]);
  extract.ours = Median(v[2]);
  extract.peer = Median(v[3]);
  test.ours = Median(v[4]);
  test.peer = Median(v[5]);
  std::printf("archives: ours %llu bytes, Info-ZIP %llu bytes\n\n",
              static_cast<unsigned long long>(stdfs::file_size(ours_zip)),
              static_cast<unsigned long long>(stdfs::file_size(peer_zip)));

  std::printf("Median of %d pairs, %zu files, %.1f MB:\n\n", pairs, files, bytes / 1e6);
  std::printf(
      "| job | ours | peer | wall ours / peer | user ours / peer | system ours / peer | ratio "
      "(wall) |\n| --- | --- | --- | --- | --- | --- | --- |\n");
  for (const Row* r : {&backup, &extract, &test}) {
    std::printf(
        "| %s | `%s` | `%s` | %.2f s / %.2f s | %.2f s / %.2f s | %.2f s / %.2f s | %.2f |\n",
        r->job.c_str(), r->ours_cmd.c_str(), r->peer_cmd.c_str(), r->ours.wall, r->peer.wall,
        r->ours.user, r->peer.user, r->ours.sys, r->peer.sys,
        r->peer.wall > 0 ? r->ours.wall / r->peer.wall : 0.0);
  }
  // A folder given with --dir may hold other things: only what the bench made there goes.
  if (!keep) {
    for (const std::string& made : {corpus, ours_zip, peer_zip, out}) stdfs::remove_all(made);
    if (made_dir) stdfs::remove(dir);
  }
  return 0;
}
