// Replays a fuzz target's corpus without libFuzzer: every file named on the
// command line, or found directly in a directory named there, is handed to
// LLVMFuzzerTestOneInput once. Built with the ordinary compiler, so that every
// `make test` (and its sanitizer build) runs each seed and each input a
// fuzzing run kept; a crash or abort fails the ctest case.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    files.push_back(path);  // reported as unreadable below
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    files.push_back(path);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(path + "/" + name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());  // the same order on every run
  files.insert(files.end(), names.begin(), names.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> data;
  for (const std::string& f : files) {
    if (!readFile(f, data)) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
