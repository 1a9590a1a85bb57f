// Replays files (or every file of the folders) given on the command line
// through the fuzz target, as a plain program: no fuzzing engine needed.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replay_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> data;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
    data.insert(data.end(), buffer, buffer + n);
  fclose(f);
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  int errors = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "no such corpus: %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      errors += replay_file(argv[i]);
      ++files;
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) return 1;
    while (struct dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      errors += replay_file(std::string(argv[i]) + "/" + entry->d_name);
      ++files;
    }
    closedir(dir);
  }
  printf("replayed %d inputs\n", files);
  // An empty corpus would prove nothing.
  return errors == 0 && files > 0 ? 0 : 1;
}
